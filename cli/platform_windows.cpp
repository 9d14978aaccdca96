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

bool notReady(DWORD error) { return error == ERROR_NOT_READY || error == ERROR_NO_MEDIA_IN_DRIVE; }

bool describeLetter(const std::string& letter, CardDescription& card) {
  card = CardDescription{};
  card.target = letter;
  SetLastError(ERROR_SUCCESS);
  DWORD number = 0;
  if (!diskNumberOfLetter(letter, number)) {
    // A reader with nothing in it has no disk to name; the system says so.
    card.noCard = notReady(GetLastError());
    return false;
  }
  card.disk = "disk " + std::to_string(number);
  const Handle disk = openForQueries("\\\\.\\PHYSICALDRIVE" + std::to_string(number));
  if (!disk) return false;
  DISK_GEOMETRY_EX geometry = {};
  DWORD returned = 0;
  const bool cardBus = card::diskBusType(disk.get()) == card::kBusTypeSd ||
                       card::diskBusType(disk.get()) == card::kBusTypeMmc;
  if (DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                      sizeof geometry, &returned, nullptr)) {
    card.bytes = geometry.DiskSize.QuadPart;
    // Some readers call their card fixed media; their bus still says SD or
    // MMC. The system's own disk is never one, whatever it reports.
    card.removable = (geometry.Geometry.MediaType == RemovableMedia || cardBus) &&
                     !card::diskHoldsSystem(number);
  } else {
    card.noCard = notReady(GetLastError());
    card.removable = card.noCard;
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
    const std::string letter(1, static_cast<char>('A' + k));
    // The drive type comes from the system's own table, without touching
    // the drive: a network letter whose server is gone would otherwise hold
    // the list for as long as the network waits, and a CD drive spins up.
    const std::wstring root = std::wstring(1, static_cast<wchar_t>(L'A' + k)) + L":\\";
    const UINT type = GetDriveTypeW(root.c_str());
    if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED) continue;
    CardDescription card;
    const bool described = describeLetter(letter, card);
    // A reader with its slot empty still shows, as such: the operator sees
    // the letter the card will have.
    if (card.noCard && type == DRIVE_REMOVABLE) {
      card.removable = true;
      cards.push_back(std::move(card));
    } else if (described && card.removable) {
      cards.push_back(std::move(card));
    }
  }
  return cards;
}

CardDescription describeTarget(const std::string& target) {
  CardDescription card;
  describeLetter(target, card);
  return card;
}

bool normaliseTarget(const std::string& text, std::string& target, std::string& problem) {
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
std::string targetRefusal(const std::string&, const std::vector<std::string>&) { return {}; }

std::string openFailureHint() {
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

std::string errorHint(std::uint32_t code, bool) {
  switch (code) {
    case ERROR_DEVICE_NOT_CONNECTED:
      return "the card reader is gone (unplugged, or its connection dropped): plug it in again "
             "and write the card anew";
    case ERROR_NOT_READY:
    case ERROR_NO_MEDIA_IN_DRIVE:
      return "there is no card in the reader (or it was pulled out): put the card in and try "
             "again";
    case ERROR_WRITE_PROTECT:
      return "the card refuses writes: slide the lock switch of the card or its adapter away "
             "from LOCK, put it back in and try again";
    case ERROR_ACCESS_DENIED: {
      const std::string rights = openFailureHint();
      if (!rights.empty()) return rights;
      return "this PC denies writes to removable disks although the console runs as "
             "administrator: a policy (removable storage access) or the virus protection's "
             "controlled folder access blocks them; ask whoever looks after the PC";
    }
    default:
      return {};
  }
}

std::string systemErrorName(std::uint32_t code) {
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

bool currentFolderOnCard(const std::string& target) {
  DWORD card = 0;
  if (!diskNumberOfLetter(target, card)) return false;
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return false;
  wchar_t mountPoint[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(folder, mountPoint, MAX_PATH + 1)) return false;
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumeNameForVolumeMountPointW(mountPoint, volume, MAX_PATH + 1)) return false;
  std::wstring name = volume;
  if (!name.empty() && name.back() == L'\\') name.pop_back();
  const Handle handle(CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  if (!handle) return false;
  STORAGE_DEVICE_NUMBER device = {};
  DWORD returned = 0;
  return DeviceIoControl(handle.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &device,
                         sizeof device, &returned, nullptr) &&
         device.DeviceType == FILE_DEVICE_DISK && device.DeviceNumber == card;
}

KeepAwake::KeepAwake() : previous_(SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED)) {}

KeepAwake::~KeepAwake() {
  // Back to what the thread asked for before; a state that asked for
  // nothing lasting becomes ES_CONTINUOUS alone, which ends the request.
  if (previous_ != 0)
    SetThreadExecutionState((previous_ & ES_CONTINUOUS) != 0 ? previous_ : ES_CONTINUOUS);
}

std::unique_ptr<card::DiskServices> makeDiskServices() {
  return std::make_unique<card::Win32DiskServices>();
}

std::string programName() { return "quenvory-cli"; }

std::string targetDescription() { return "drive letter of the card reader (G or G:)"; }

std::string targetStem(const std::string& target) { return target; }

}  // namespace cli
