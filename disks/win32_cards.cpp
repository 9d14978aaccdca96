// Windows: cards are named by the drive letter the reader shows.
#include <windows.h>

#include <string>
#include <utility>

#include "card/card_device.h"
#include "disks/cards.h"
#include "disks/win32_card_rule.h"
#include "disks/win32_disk_facts.h"
#include "disks/win32_disk_services.h"
#include "disks/win32_volumes.h"
#include "win32/handles.h"

namespace disks {
namespace {

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
      openForQueries(L"\\\\.\\PHYSICALDRIVE" + std::to_wstring(found.disk));
  if (disk) {
    const StorageDescriptor descriptor = storageDescriptor(disk.get());
    card.vendor = descriptor.vendor;
    card.product = descriptor.product;
    card.writeProtected = diskWriteProtected(disk.get());
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
    if (!examinedDriveType(type)) continue;
    CardDescription card;
    const card::LetterDisk found =
        describeLetter(services, std::string(1, static_cast<char>('A' + k)), card);
    if (listsLetter(type, found)) cards.push_back(std::move(card));
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
  const win32::FileHandle handle = openForQueries(path);
  StorageDeviceNumber device;
  return handle && deviceNumber(handle.get(), device) && device.deviceType == kFileDeviceDisk &&
         device.deviceNumber == card;
}

// A letter that is never a card is named for what it is, before anything
// else is said of it; every other check of a drive letter is the card
// writer's own.
std::string cardRefusal(const std::string& name, const std::vector<std::string>&, CardUse use) {
  Win32DiskServices services;
  std::string target;
  if (name.size() <= card::kMaxDriveText && services.queryDosDevice(name + ":", target) &&
      namesNetworkShare(target))
    return ruleRefusal(Finding::NetworkDrive, name, use);
  CardDescription description;
  const card::LetterDisk found = describeLetter(services, name, description);
  if (!found.described) return {};
  return verdictRefusal(found.verdict, name, use);
}

}  // namespace disks
