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

// What a letter leads to, found as a run's open finds it: a letter is a
// card for `list` only when a write would take it.
card::LetterDisk describeLetter(Win32DiskServices& services, const std::string& letter,
                                CardDescription& card) {
  card = CardDescription{};
  card.name = letter;
  const card::LetterDisk found = card::examineLetter(services, services, letter);
  card.noCard = found.noCard;
  if (found.disk < 0) return found;
  card.disk = "disk " + std::to_string(found.disk);
  card.bytes = found.bytes;
  card.removable = found.described && found.verdict == card::DiskVerdict::Card;
  const win32::FileHandle disk =
      openForQueries("\\\\.\\PHYSICALDRIVE" + std::to_string(found.disk));
  if (disk) {
    readerNames(disk.get(), card);
    card.writeProtected = disks::diskWriteProtected(disk.get());
  }
  return found;
}

}  // namespace

std::vector<CardDescription> listCards() {
  std::vector<CardDescription> cards;
  Win32DiskServices services;
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
    describeLetter(services, std::string(1, static_cast<char>('A' + k)), card);
    // A reader with its slot empty is listed as such: the letter its card
    // will have.
    if ((card.noCard && type == DRIVE_REMOVABLE) || card.removable)
      cards.push_back(std::move(card));
  }
  return cards;
}

CardDescription describeCard(const std::string& name) {
  Win32DiskServices services;
  CardDescription card;
  describeLetter(services, name, card);
  return card;
}

bool currentFolderOnCard(const std::string& name) {
  Win32DiskServices services;
  CardDescription description;
  const std::int64_t card = name.empty() ? -1 : describeLetter(services, name, description).disk;
  if (card < 0) return false;
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

// A disk that is never a card is named for what it is, before anything
// else is said of it; every other check of a drive letter is the card
// writer's own.
std::string cardRefusal(const std::string& name, const std::vector<std::string>&, CardUse) {
  Win32DiskServices services;
  CardDescription description;
  const card::LetterDisk found = describeLetter(services, name, description);
  if (!found.described) return {};
  switch (found.verdict) {
    case card::DiskVerdict::SystemDisk:
      return name +
             ": is on the disk that holds Windows, its boot partition or a page file: it "
             "is never written";
    case card::DiskVerdict::BuiltIn:
      return name + ": is on a disk built into the PC: it is never written";
    default:
      return {};
  }
}

}  // namespace disks
