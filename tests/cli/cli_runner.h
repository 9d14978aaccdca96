// Runs the command-line program as an operator's shell would, and keeps
// what it said and how it ended.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct CliResult {
  int status = -1;
  std::string output;  // standard output
  std::string errors;  // standard error
};

struct CliInput {
  // Standard input's text; it ends after it.
  std::string text;
  // Standard input is a terminal (a pseudo-terminal) rather than a pipe.
  bool terminal = false;
  // Standard error is a terminal too (what it shows is kept as `errors`).
  bool errorsOnTerminal = false;
  // Run as this user id (and group id), with no other groups: an operator
  // who is not root. -1: as the test itself.
  int user = -1;
};

// The user id of "nobody", who owns nothing and belongs to no group.
constexpr int kNobody = 65534;

// The program with `args` (its own name not included).
CliResult runCli(const std::vector<std::string>& args, const CliInput& input = {});

// A field of a record's first line (below its header), by its column's
// name; empty when there is none.
std::string recordField(const std::string& record, const std::string& column);

// Whether `pattern`, a POSIX extended regular expression, matches somewhere
// in `text` (anchor it with ^ and $ for the whole text).
bool found(const std::string& text, const std::string& pattern);

}  // namespace testing_support
