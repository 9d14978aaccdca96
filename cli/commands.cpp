#include "cli/commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

#include "cli/command_parts.h"
#include "cli/help.h"
#include "cli/platform.h"
#include "cli/stop_request.h"
#include "cli/terminal.h"
#include "version/version.h"

namespace cli {
namespace {

// CLI11 would ask for a command before it names the stranger: named here
// first.
bool unknownCommand(const std::vector<std::string>& args) {
  const std::vector<std::string> commands = {"list", "info", "write", "read", "compare"};
  if (args.size() < 2 || args[1].empty() || args[1][0] == '-' ||
      std::find(commands.begin(), commands.end(), args[1]) != commands.end())
    return false;
  usageError("", "unknown command '" + args[1] +
                     "': the commands are list, info, write, read "
                     "and compare");
  return true;
}

// Parses the arguments and runs the chosen command. The exit status when the
// parse itself ends the program (its help, its version, a usage error); -1
// when the command ran.
int parse(CLI::App& app, const std::vector<std::string>& args) {
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  if (!reversed.empty()) reversed.pop_back();  // the program's own name
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& error) {
    std::ostringstream out;
    std::ostringstream err;
    if (error.get_exit_code() == 0) {
      app.exit(error, out, err);
      writeOutput(out.str());
      writeErrors(err.str());
      return kSuccess;
    }
    std::string command;
    for (CLI::App* sub : app.get_subcommands()) command = sub->get_name();
    usageError(command.empty() ? std::string() : command, error.what());
    return kUsageError;
  }
  return -1;
}

int runCommand(const std::vector<std::string>& args) {
  CLI::App app{
      "Writes S7 MMC card image files (.S7img) onto memory cards, reads cards back into images "
      "and compares cards with images.",
      programName()};
  useHelpLayout(app);
  app.require_subcommand(1);
  // One way of writing options on every system: "/x" is a path, never an
  // option.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("quenvory ") + QUENVORY_VERSION_TEXT,
                       "print the version and the source revision it was built from, and exit");
  // The chosen command's exit status, set by its callback.
  int status = kUsageError;
  addListCommand(app, status);
  addInfoCommand(app, status);
  addWriteCommand(app, status);
  addReadCommand(app, status);
  addCompareCommand(app, status);

  // Below the program's own help alone: a command takes its parent's
  // footer when it is added.
  app.footer(helpText(programHelp()));

  if (unknownCommand(args)) return kUsageError;
  if (const int problem = parse(app, args); problem >= 0) return problem;
  return status;
}

}  // namespace

int run(const std::vector<std::string>& args) {
  const int status = runCommand(args);
  // A console being closed may end the process now: the cards are free and
  // the record written.
  commandFinished();
  return status;
}

}  // namespace cli
