// Windows: cards are named by the drive letter the reader shows.
#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <cstddef>
#include <utility>

#include "cli/platform.h"
#include "disks/win32_disk_services.h"

namespace cli {
namespace {

// A handle owned here; empty is INVALID_HANDLE_VALUE, as CreateFile answers.
class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// No access rights: enough to ask a disk or a volume what it is, and no
// administrator needed.
Handle openForQueries(const std::string& path) {
  return Handle(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  std::size_t first = 0;
  while (first < text.size() && text[first] == ' ') ++first;
  return text.substr(first);
}

// The disk behind a letter, as the card writer finds it: an answer naming
// \Device\HarddiskN directly, or a volume that lies on one disk.
bool diskNumberOfLetter(const std::string& letter, DWORD& number) {
  char answer[100] = {};
  if (QueryDosDeviceA((letter + ":").c_str(), answer, sizeof answer) == 0) return false;
  const std::string target(answer, strnlen(answer, sizeof answer));
  static const std::string kDisk = "\\Device\\Harddisk";
  if (target.compare(0, kDisk.size(), kDisk) == 0) {
    std::size_t end = kDisk.size();
    while (end < target.size() && std::isdigit(static_cast<unsigned char>(target[end]))) ++end;
    if (end > kDisk.size() && (end == target.size() || target[end] == '\\')) {
      number = static_cast<DWORD>(std::stoul(target.substr(kDisk.size(), end - kDisk.size())));
      return true;
    }
  }
  const Handle volume = openForQueries("\\\\.\\" + letter + ":");
  if (!volume) return false;
  STORAGE_DEVICE_NUMBER device = {};
  DWORD returned = 0;
  if (!DeviceIoControl(volume.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &device,
                       sizeof device, &returned, nullptr) ||
      device.DeviceType != FILE_DEVICE_DISK)
    return false;
  number = device.DeviceNumber;
  return true;
}

// The reader's vendor and product as it reports them.
void readerNames(HANDLE disk, CardDescription& card) {
  STORAGE_PROPERTY_QUERY query = {};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  // Held in 64-bit words: the descriptor's fields are aligned.
  std::uint64_t storage[128] = {};
  DWORD returned = 0;
  if (!DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, storage,
                       sizeof storage, &returned, nullptr) ||
      returned < sizeof(STORAGE_DEVICE_DESCRIPTOR))
    return;
  const auto* descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR*>(storage);
  const char* bytes = reinterpret_cast<const char*>(storage);
  auto text = [&](DWORD offset) {
    if (offset == 0 || offset >= returned) return std::string();
    return trimmed(std::string(bytes + offset, strnlen(bytes + offset, returned - offset)));
  };
  card.vendor = text(descriptor->VendorIdOffset);
  card.product = text(descriptor->ProductIdOffset);
}

bool describeLetter(const std::string& letter, CardDescription& card) {
  card = CardDescription{};
  card.target = letter;
  DWORD number = 0;
  if (!diskNumberOfLetter(letter, number)) return false;
  card.disk = "disk " + std::to_string(number);
  const Handle disk = openForQueries("\\\\.\\PHYSICALDRIVE" + std::to_string(number));
  if (!disk) return false;
  DISK_GEOMETRY_EX geometry = {};
  DWORD returned = 0;
  if (DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                      sizeof geometry, &returned, nullptr)) {
    card.bytes = geometry.DiskSize.QuadPart;
    card.removable = geometry.Geometry.MediaType == RemovableMedia;
  }
  readerNames(disk.get(), card);
  return true;
}

}  // namespace

std::vector<CardDescription> listCards() {
  std::vector<CardDescription> cards;
  const DWORD letters = GetLogicalDrives();
  for (int k = 0; k < 26; ++k) {
    if ((letters & (DWORD{1} << k)) == 0) continue;
    CardDescription card;
    if (describeLetter(std::string(1, static_cast<char>('A' + k)), card) && card.removable)
      cards.push_back(std::move(card));
  }
  return cards;
}

CardDescription describeCard(const std::string& target) {
  CardDescription card;
  describeLetter(target, card);
  return card;
}

bool normaliseCardName(const std::string& text, std::string& target, std::string& problem) {
  const bool letter = !text.empty() && std::isalpha(static_cast<unsigned char>(text[0])) &&
                      static_cast<unsigned char>(text[0]) < 0x80;
  if (letter && (text.size() == 1 || (text.size() == 2 && text[1] == ':'))) {
    target = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(text[0]))));
    return true;
  }
  problem = "TARGET must be a drive letter such as G or G:, not '" + text + "'";
  return false;
}

// Every check of a drive letter is the card writer's own.
std::string cardRefusal(const std::string&, const std::vector<std::string>&) { return {}; }

std::string hintFor(const card::Outcome& outcome) {
  if (outcome.ending != card::Ending::Refused || outcome.systemError != ERROR_ACCESS_DENIED)
    return {};
  HANDLE token = nullptr;
  TOKEN_ELEVATION elevation = {};
  DWORD returned = 0;
  bool elevated = false;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &returned) &&
        elevation.TokenIsElevated != 0;
    CloseHandle(token);
  }
  return elevated ? std::string()
                  : "writing a card needs a console started as administrator (Run as "
                    "administrator)";
}

std::unique_ptr<card::DiskServices> makeDiskServices() {
  return std::make_unique<card::Win32DiskServices>();
}

std::string programName() { return "quenvory-cli"; }

std::string cardNameDescription() { return "drive letter of the card reader (G or G:)"; }

std::string cardStem(const std::string& target) { return target; }

}  // namespace cli
