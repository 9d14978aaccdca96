// Windows: cards are named by the drive letter the reader shows.
#include <windows.h>

#include <cctype>
#include <cstddef>
#include <utility>

#include "cli/platform.h"
#include "disks/win32_disk_services.h"
#include "win32/handles.h"

namespace cli {

bool normaliseCardName(const std::string& text, std::string& name, std::string& problem) {
  const bool letter = !text.empty() && std::isalpha(static_cast<unsigned char>(text[0])) &&
                      static_cast<unsigned char>(text[0]) < 0x80;
  if (letter && (text.size() == 1 || (text.size() == 2 && text[1] == ':'))) {
    name = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(text[0]))));
    return true;
  }
  problem = "TARGET must be a drive letter such as G or G:, not '" + text + "'";
  return false;
}

std::string hintFor(const card::Outcome& outcome) {
  if (outcome.ending != card::Ending::Refused || outcome.systemError != ERROR_ACCESS_DENIED)
    return {};
  win32::KernelHandle token;
  TOKEN_ELEVATION elevation = {};
  DWORD returned = 0;
  const bool elevated =
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
      GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &returned) &&
      elevation.TokenIsElevated != 0;
  return elevated ? std::string()
                  : "writing a card needs a console started as administrator (Run as "
                    "administrator)";
}

std::unique_ptr<card::DiskServices> makeDiskServices() {
  return std::make_unique<disks::Win32DiskServices>();
}

std::string programName() { return "quenvory-cli"; }

std::string cardNameDescription() { return "drive letter of the card reader (G or G:)"; }

std::string cardStem(const std::string& name) { return name; }

}  // namespace cli
