// What the commands share: the usage error, sizes and cards as the operator
// reads them, the files they name beside the card, and the question on the
// terminal.
#pragma once

#include <cstdint>
#include <string>

#include "card/outcome.h"
#include "cli/console.h"
#include "cli/hints.h"
#include "disks/cards.h"

namespace CLI {
class App;
}

namespace cli {

// "ERROR: problem" and where the command's help is.
void usageError(const std::string& command, const std::string& problem);

// An error message on its own line, caption "ERROR".
void sayError(const std::string& message);

// "1.5 MiB", "300 bytes", "size unknown".
std::string sizeText(std::int64_t bytes);

// "12.3 s" below ten seconds, "125 s" above.
std::string secondsText(double seconds);

// A card as the question names it: its name, disk, size and maker.
std::string describe(const disks::CardDescription& card);

// Whether two paths name the same file, existing or still to be made.
bool sameFile(const std::string& a, const std::string& b);

// A file's size in bytes; -1 when the system gives none.
std::int64_t fileBytes(const std::string& path);

// Whether something (a file, a folder, a link) is at `path`.
bool pathExists(const std::string& path);

// After a run that did not end well, what the system's answer may mean.
void hintAfter(const card::Outcome& outcome, ConsoleUi& ui, const RunFiles& files);

// Asks `question` on the terminal; true for a y. A stop while the question
// waits for its answer is no answer.
bool answeredYes(const std::string& question);

// The local time in a file name: 20261210-130500.
std::string fileTime();

// A name in `folder` for a card's backup, after the card and the time, that
// no file has yet: a second backup of the card within the same second gets
// -2, -3, ... and never replaces the first.
std::string backupName(const std::string& folder, const std::string& stem,
                       const std::string& stamp);

// Whether a backup may be made under `path`: a file already there is
// replaced only on the operator's word, --yes or a y on the terminal. With
// neither the command is refused before any card is opened, and the file
// keeps its bytes. A folder is no file to replace: the backup fails on it.
bool mayReplace(const std::string& path, bool yes);

// Each command's options, its setup on the command line and its run: the
// command's exit status goes to `status` once it has run.
void addListCommand(CLI::App& app, int& status);
void addInfoCommand(CLI::App& app, int& status);
void addWriteCommand(CLI::App& app, int& status);
void addReadCommand(CLI::App& app, int& status);
void addCompareCommand(CLI::App& app, int& status);

}  // namespace cli
