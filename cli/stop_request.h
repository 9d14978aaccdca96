// A stop the operator or the system asks for while cards are written: Ctrl-C,
// a terminal or console window closed, the session ending. The handlers only
// note the request; each run sees it between two batches and ends the normal
// way, its card released in the usual order, so that a card is never left
// locked, a backup's temporary file never left behind, and the record still
// gets its line.
#pragma once

namespace cli {

// Installs the handlers for the rest of the process. A second request while
// the first is being handled changes nothing: the handlers stay, so it can
// never cut the release short.
void installStopHandlers();

// Whether a stop has been asked for.
bool stopRequested();

// Everything the command opened is released and its record written: a
// console being closed, whose handler holds the process for a few seconds
// at most, may let it end now.
void commandFinished();

// For tests: a request as the handlers note it, and none again (the
// command not yet finished either).
void requestStop();
void clearStopRequest();

}  // namespace cli
