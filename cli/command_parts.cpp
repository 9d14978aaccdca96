#include "cli/command_parts.h"

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "card/messages.h"
#include "cli/platform.h"
#include "cli/stop_request.h"
#include "cli/terminal.h"

namespace cli {

void usageError(const std::string& command, const std::string& problem) {
  const std::string help = programName() + (command.empty() ? "" : " " + command) + " --help";
  writeErrors("ERROR: " + problem + "\nRun '" + help + "' for more information.\n");
}

void sayError(const std::string& message) {
  writeErrors(messageLine(message, card::kErrorCaption) + "\n");
}

std::string sizeText(std::int64_t bytes) {
  if (bytes < 0) return "size unknown";
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string secondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, seconds < 10 ? "%.1f s" : "%.0f s", seconds);
  return text;
}

std::string describe(const disks::CardDescription& card) {
  std::string text = card.name;
  if (!card.disk.empty()) text += "  " + card.disk;
  text += "  " + sizeText(card.bytes);
  if (card.bytes >= 0) text += " (" + std::to_string(card.bytes) + " bytes)";
  const std::string names = card.vendor + (card.vendor.empty() ? "" : " ") + card.product;
  if (!names.empty()) text += "  " + names;
  return text;
}

bool sameFile(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path first = filePath(a);
  const fs::path second = filePath(b);
  if (fs::exists(first, error) && fs::exists(second, error))
    return fs::equivalent(first, second, error);
  return fs::weakly_canonical(first, error) == fs::weakly_canonical(second, error);
}

std::int64_t fileBytes(const std::string& path) {
  std::error_code error;
  const auto bytes = std::filesystem::file_size(filePath(path), error);
  return error ? -1 : static_cast<std::int64_t>(bytes);
}

bool pathExists(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code error;
  return fs::exists(fs::symlink_status(filePath(path), error));
}

void hintAfter(const card::Outcome& outcome, ConsoleUi& ui, const RunFiles& files) {
  const std::string hint = hintAfterRun(outcome, ui.driveText(), files);
  if (!hint.empty()) ui.note("hint: " + hint);
}

// The one place that reads an answer from the terminal.
bool answeredYes(const std::string& question) {
  writeErrors(question);
  std::string answer;
  // No answer (Ctrl-C, the input's end) leaves the question's line open: what
  // follows goes on a line of its own.
  if (!readInputLine(answer)) {
    writeErrors("\n");
    return false;
  }
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  return (answer == "y" || answer == "Y" || answer == "yes") && !stopRequested();
}

std::string fileTime() {
  const std::time_t now = std::time(nullptr);
  char text[32] = {};
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", std::localtime(&now));
  return text;
}

std::string backupName(const std::string& folder, const std::string& stem,
                       const std::string& stamp) {
  namespace fs = std::filesystem;
  for (int n = 1;; ++n) {
    const fs::path path =
        fs::u8path(folder) /
        fs::u8path(stem + "-" + stamp + (n == 1 ? "" : "-" + std::to_string(n)) + ".S7img");
    if (!pathExists(path.u8string())) return path.u8string();
  }
}

bool mayReplace(const std::string& path, bool yes) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (yes || !pathExists(path) || fs::is_directory(filePath(path), error)) return true;
  if (!inputIsTerminal()) {
    sayError(path + " exists: name a new file, or add --yes to replace it");
    return false;
  }
  if (answeredYes("replace " + path + "? [y/N] ")) return true;
  writeErrors("nothing written\n");
  return false;
}

}  // namespace cli
