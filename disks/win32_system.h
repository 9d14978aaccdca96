// The disks that are the running system's own on Windows: the Windows
// folder's, the system drive's, the one holding the partition the firmware
// started from, and those holding a page file in use. None of it depends on
// the card, and none of it changes before Windows starts again: it is found
// once for a process, however many letters a command names.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace disks {

// What the system answers for that search, asked through this so that a
// test can answer instead.
class SystemAnswers {
 public:
  virtual ~SystemAnswers() = default;

  // The Windows folder (C:\Windows) and the system drive (C:); empty when
  // the system does not tell.
  virtual std::wstring windowsFolder() = 0;
  virtual std::wstring systemDrive() = 0;
  // A string value of the local machine's registry, a list of strings
  // (REG_MULTI_SZ) with its strings apart; empty when there is none.
  virtual std::vector<std::wstring> machineStrings(const wchar_t* key, const wchar_t* value) = 0;
  // Every volume, named \\?\Volume{...} without its trailing backslash.
  virtual std::vector<std::wstring> volumes() = 0;
  // The volume a file lies on, or empty.
  virtual std::wstring volumeOfFile(const std::wstring& path) = 0;
  // The disks a volume has extents on.
  virtual std::vector<std::uint32_t> disksOfVolume(const std::wstring& volume) = 0;
  // What opening a file says: a page file in use opens for nobody, not even
  // to read its attributes, and answers with a sharing violation.
  enum class FileAnswer { Missing, Opens, SharingViolation };
  virtual FileAnswer openFile(const std::wstring& path) = 0;
};

// The system's own disks, by the reason each one is.
struct SystemDisks {
  std::set<std::uint32_t> windows;          // the Windows folder or the system drive
  std::set<std::uint32_t> systemPartition;  // the partition the firmware started from
  std::set<std::uint32_t> pageFiles;        // a page file in use
  bool holds(std::uint32_t disk) const {
    return windows.count(disk) != 0 || systemPartition.count(disk) != 0 ||
           pageFiles.count(disk) != 0;
  }
};

// Where the system keeps what it knows of its page files.
extern const wchar_t* const kMemoryManagementKey;
// The partition the firmware started the system from, by its device name.
extern const wchar_t* const kSetupKey;

// A page file as ExistingPageFiles names it, in the system's own name space
// (\??\C:\pagefile.sys), made a path the file calls open (\\?\C:\...).
std::wstring pageFilePath(const std::wstring& entry);

// The search, through `system`'s answers.
SystemDisks findSystemDisks(SystemAnswers& system);

// The running system's own disks, found at the first question and kept for
// the life of the process.
const SystemDisks& runningSystemDisks();

}  // namespace disks
