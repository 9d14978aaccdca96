// Windows: cards are named by the drive letter the reader shows.
#include <windows.h>
#include <winioctl.h>

#include <cctype>
#include <cstddef>
#include <cstring>
#include <utility>

#include "card/card_device.h"
#include "disks/cards.h"
#include "disks/win32_disk_services.h"
#include "win32/handles.h"

namespace disks {
namespace {

// No access rights: enough to ask a disk or a volume what it is, and no
// administrator needed.
win32::FileHandle openForQueries(const std::string& path) {
  return win32::FileHandle(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
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
  const std::int64_t disk = card::diskNumberOf(target);
  if (disk >= 0) {
    number = static_cast<DWORD>(disk);
    return true;
  }
  const win32::FileHandle volume = openForQueries("\\\\.\\" + letter + ":");
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
  card.name = letter;
  SetLastError(ERROR_SUCCESS);
  DWORD number = 0;
  if (!diskNumberOfLetter(letter, number)) {
    // A reader with nothing in it may have no disk to name; it says so.
    card.noCard = notReady(GetLastError());
    return false;
  }
  card.disk = "disk " + std::to_string(number);
  const win32::FileHandle disk = openForQueries("\\\\.\\PHYSICALDRIVE" + std::to_string(number));
  if (!disk) return false;
  const std::uint32_t bus = disks::diskBusType(disk.get());
  DISK_GEOMETRY_EX geometry = {};
  DWORD returned = 0;
  if (DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                      sizeof geometry, &returned, nullptr)) {
    card.bytes = geometry.DiskSize.QuadPart;
    // Some readers call their card fixed media; their bus still says SD or
    // MMC. The system's own disk is never a card, whatever it reports.
    card.removable = (geometry.Geometry.MediaType == RemovableMedia || bus == card::kBusTypeSd ||
                      bus == card::kBusTypeMmc) &&
                     !disks::diskHoldsSystem(number);
    card.writeProtected = disks::diskWriteProtected(disk.get());
  } else {
    card.noCard = notReady(GetLastError());
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
    // The drive type comes from the system's own table without touching the
    // drive: a network letter whose server is gone, or a disconnected one,
    // would otherwise hold the list for as long as the network waits.
    const wchar_t root[] = {static_cast<wchar_t>(L'A' + k), L':', L'\\', L'\0'};
    const UINT type = GetDriveTypeW(root);
    if (type != DRIVE_REMOVABLE && type != DRIVE_FIXED) continue;
    CardDescription card;
    const bool described = describeLetter(std::string(1, static_cast<char>('A' + k)), card);
    // A reader with its slot empty is listed as such: the letter its card
    // will have.
    if (card.noCard && type == DRIVE_REMOVABLE)
      cards.push_back(std::move(card));
    else if (described && card.removable)
      cards.push_back(std::move(card));
  }
  return cards;
}

CardDescription describeCard(const std::string& name) {
  CardDescription card;
  describeLetter(name, card);
  return card;
}

bool currentFolderOnCard(const std::string& name) {
  DWORD card = 0;
  if (name.empty() || !diskNumberOfLetter(name, card)) return false;
  wchar_t folder[MAX_PATH + 1] = {};
  const DWORD length = GetCurrentDirectoryW(MAX_PATH + 1, folder);
  if (length == 0 || length > MAX_PATH) return false;
  wchar_t mountPoint[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(folder, mountPoint, MAX_PATH + 1)) return false;
  wchar_t volume[MAX_PATH + 1] = {};
  if (!GetVolumeNameForVolumeMountPointW(mountPoint, volume, MAX_PATH + 1)) return false;
  std::wstring path = volume;
  if (!path.empty() && path.back() == L'\\') path.pop_back();
  const win32::FileHandle handle(CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
  STORAGE_DEVICE_NUMBER device = {};
  DWORD returned = 0;
  return handle &&
         DeviceIoControl(handle.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &device,
                         sizeof device, &returned, nullptr) &&
         device.DeviceType == FILE_DEVICE_DISK && device.DeviceNumber == card;
}

// Every check of a drive letter is the card writer's own.
std::string cardRefusal(const std::string&, const std::vector<std::string>&, CardUse) { return {}; }

}  // namespace disks
