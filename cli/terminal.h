// The terminal: whether there is one, and text out in UTF-8.
#pragma once

#include <string>

namespace cli {

bool inputIsTerminal();
// True when standard error is a terminal that takes the control sequences
// that redraw a line in place (switched on where the system needs it).
bool errorsAreTerminal();

// Writes UTF-8 text as it is, on standard error or standard output.
void writeErrors(const std::string& text);
void writeOutput(const std::string& text);

// One line from standard input, without its end; false at its end.
bool readInputLine(std::string& line);

}  // namespace cli
