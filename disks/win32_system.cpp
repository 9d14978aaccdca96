#include "disks/win32_system.h"

#include <windows.h>

#include "disks/win32_volumes.h"
#include "win32/handles.h"

namespace disks {

const wchar_t* const kMemoryManagementKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Memory Management";
const wchar_t* const kSetupKey = L"SYSTEM\\Setup";

namespace {

// The running system's answers.
class RunningSystem final : public SystemAnswers {
 public:
  std::wstring windowsFolder() override {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH ? std::wstring(folder, length) : std::wstring();
  }

  std::wstring systemDrive() override {
    wchar_t drive[MAX_PATH + 1] = {};
    const DWORD length = GetEnvironmentVariableW(L"SystemDrive", drive, MAX_PATH + 1);
    return length > 0 && length <= MAX_PATH ? std::wstring(drive, length) : std::wstring();
  }

  std::vector<std::wstring> machineStrings(const wchar_t* key, const wchar_t* value) override {
    DWORD bytes = 0;
    const DWORD types = RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, types, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS ||
        bytes == 0)
      return {};
    // Two more characters than the value: a list ends in two zeros even
    // where the value as stored does not.
    std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 2, L'\0');
    bytes = static_cast<DWORD>((text.size() - 2) * sizeof(wchar_t));
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key, value, types, nullptr, text.data(), &bytes) !=
        ERROR_SUCCESS)
      return {};
    std::vector<std::wstring> strings;
    for (std::size_t at = 0; at < text.size() && text[at] != L'\0';) {
      strings.emplace_back(text.data() + at);
      at += strings.back().size() + 1;
    }
    return strings;
  }

  std::vector<std::wstring> volumes() override {
    std::vector<std::wstring> names;
    wchar_t name[MAX_PATH + 1] = {};
    const win32::VolumeSearch search(FindFirstVolumeW(name, MAX_PATH + 1));
    if (!search) return names;
    do {
      std::wstring volume = name;
      if (!volume.empty() && volume.back() == L'\\') volume.pop_back();
      names.push_back(volume);
    } while (FindNextVolumeW(search.get(), name, MAX_PATH + 1));
    return names;
  }

  std::wstring volumeOfFile(const std::wstring& path) override { return disks::volumeOfFile(path); }

  std::vector<std::uint32_t> disksOfVolume(const std::wstring& volume) override {
    return disks::disksOfVolume(volume);
  }

  FileAnswer openFile(const std::wstring& path) override {
    // Asking for its attributes only: no rights needed, and no program but
    // the system's memory manager keeps a file from that.
    const win32::FileHandle file(CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (file) return FileAnswer::Opens;
    return GetLastError() == ERROR_SHARING_VIOLATION ? FileAnswer::SharingViolation
                                                     : FileAnswer::Missing;
  }
};

void addDisksOfVolume(SystemAnswers& system, const std::wstring& volume,
                      std::set<std::uint32_t>& disks) {
  if (volume.empty()) return;
  for (const std::uint32_t disk : system.disksOfVolume(volume)) disks.insert(disk);
}

}  // namespace

std::wstring pageFilePath(const std::wstring& entry) {
  // \??\ is the system's name space of drive letters and volumes, which the
  // file calls reach as \\?\; a bare device name through its global root.
  if (entry.compare(0, 4, L"\\??\\") == 0) return L"\\\\?\\" + entry.substr(4);
  if (entry.compare(0, 8, L"\\Device\\") == 0) return L"\\\\?\\GLOBALROOT" + entry;
  return entry;
}

SystemDisks findSystemDisks(SystemAnswers& system) {
  SystemDisks found;
  const std::wstring folder = system.windowsFolder();
  if (!folder.empty()) addDisksOfVolume(system, system.volumeOfFile(folder), found.windows);
  const std::wstring drive = system.systemDrive();
  if (!drive.empty()) addDisksOfVolume(system, system.volumeOfFile(drive + L"\\"), found.windows);

  // The system names the partition it started from by its device
  // (\Device\HarddiskVolume1).
  for (const std::wstring& device : system.machineStrings(kSetupKey, L"SystemPartition"))
    if (!device.empty() && device[0] == L'\\')
      addDisksOfVolume(system, L"\\\\?\\GLOBALROOT" + device, found.systemPartition);

  // The page files the system says it uses, wherever they are; then those at
  // a volume's root, where the system keeps them, that are in use: a
  // pagefile.sys that opens is a leftover, no page file.
  for (const std::wstring& entry :
       system.machineStrings(kMemoryManagementKey, L"ExistingPageFiles"))
    addDisksOfVolume(system, system.volumeOfFile(pageFilePath(entry)), found.pageFiles);
  for (const std::wstring& volume : system.volumes())
    for (const wchar_t* file : {L"\\pagefile.sys", L"\\swapfile.sys"})
      if (system.openFile(volume + file) == SystemAnswers::FileAnswer::SharingViolation) {
        addDisksOfVolume(system, volume, found.pageFiles);
        break;
      }
  return found;
}

const SystemDisks& runningSystemDisks() {
  static const SystemDisks disks = [] {
    RunningSystem system;
    return findSystemDisks(system);
  }();
  return disks;
}

}  // namespace disks
