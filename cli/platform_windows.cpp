// Windows: cards are named by the drive letter the reader shows.
#include <windows.h>

#include <cctype>
#include <cstddef>
#include <utility>

#include "cli/platform.h"
#include "disks/cards.h"
#include "disks/utf16.h"
#include "disks/win32_card_rule.h"
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

namespace {

constexpr const char* kWriteProtected =
    "the card refuses writes: slide the lock switch of the card or its adapter away from LOCK, "
    "put the card back in and try again";

bool elevated() {
  win32::KernelHandle token;
  TOKEN_ELEVATION elevation = {};
  DWORD returned = 0;
  return OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
         GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation,
                             &returned) &&
         elevation.TokenIsElevated != 0;
}

// The system's own words for an error code ("Access is denied.").
std::string systemErrorName(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string name;
  if (length > 0 && text != nullptr) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    name.resize(static_cast<std::size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), name.data(), size, nullptr,
                        nullptr);
  }
  if (text != nullptr) LocalFree(text);
  while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == ' '))
    name.pop_back();
  return name;
}

}  // namespace

std::string systemReason(std::uint32_t code) {
  std::string reason = systemErrorName(code);
  while (!reason.empty() && reason.back() == '.') reason.pop_back();
  return reason;
}

std::string hintFor(const card::Outcome& outcome, const std::string& name) {
  const DWORD code = outcome.systemError;
  if (outcome.cardBusy) {
    std::string hint = "the card's volume stayed in use (error " + std::to_string(code);
    const std::string words = systemErrorName(code);
    hint += words.empty() ? ")" : ": " + words + ")";
    if (disks::currentFolderOnCard(name))
      hint +=
          "; this console's current folder is on the card: change to another drive first "
          "(cd /d C:\\)";
    else
      hint +=
          ": close Explorer windows and programs that show files of the card, or wait until "
          "the virus scanner is done with it";
    return hint;
  }
  const bool refused = outcome.ending == card::Ending::Refused;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      if (refused)
        return name + ": " + systemReason(code) + ": no card reader behind the letter " + name +
               "; 'quenvory-cli list' shows the cards";
      return {};
    case ERROR_ACCESS_DENIED:
      if (!elevated())
        return "writing a card needs a console started as administrator (Run as administrator)";
      return "this PC denies writes to removable disks even to an administrator: a policy "
             "(removable storage access) or the virus protection's controlled folder access "
             "blocks them; ask whoever looks after the PC";
    case ERROR_WRITE_PROTECT:
      return kWriteProtected;
    case ERROR_DEVICE_NOT_CONNECTED:
      return "the card reader is gone (unplugged, or its connection dropped): plug it in again "
             "and start anew";
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
      return "there is no card in the reader (or it was pulled out): put the card in and try "
             "again";
    default:
      return {};
  }
}

std::string afterEject(const card::Outcome& outcome, const std::string& name) {
  if (!outcome.done()) return {};
  if (outcome.cardEjected) return "the card can be taken out of the reader at " + name + ":";
  return "the card is still in the reader at " + name +
         ": take it out; if Windows offers to format it, choose Cancel";
}

KeepAwake::KeepAwake() : previous_(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED)) {}

KeepAwake::~KeepAwake() {
  // Back to what the thread asked for before; a state that asked for
  // nothing lasting becomes ES_CONTINUOUS alone, which ends the request.
  if (previous_ != 0)
    SetThreadExecutionState((previous_ & ES_CONTINUOUS) != 0 ? previous_ : ES_CONTINUOUS);
}

std::unique_ptr<card::DiskServices> makeDiskServices() {
  return std::make_unique<disks::Win32DiskServices>();
}

std::filesystem::path filePath(const std::string& utf8) {
  return std::filesystem::path(disks::systemPath(utf8));
}

std::string programName() { return "quenvory-cli"; }

std::string cardNameDescription() { return "drive letter of the card reader (G or G:)"; }

std::string cardStem(const std::string& name) { return name; }

PlatformHelp platformHelp() {
  PlatformHelp help;
  help.rights =
      "Reading or writing a card needs an administrator: start the console with \"Run as "
      "administrator\". list and info need no rights.";
  help.refusals = disks::windowsRefusalHelp();
  help.stops = "Ctrl-C, Ctrl-Break, closing the console window, logging off or shutting down";
  help.cards[0] = "G";
  help.cards[1] = "H";
  help.folder = "C:\\images\\";
  help.backupNames = "G-20261210-133000.S7img for G";
  return help;
}

}  // namespace cli
