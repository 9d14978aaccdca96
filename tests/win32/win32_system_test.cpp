// The system's own disks as a function of what the system answers: the
// Windows folder and system drive, the partition the firmware started from,
// and the page files (the registry's list in the system's own name space,
// and the files at a volume's root that are in use).
#include "disks/win32_system.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using disks::SystemAnswers;

// A system that answers from tables; what it is not told does not exist.
struct TableSystem final : SystemAnswers {
  std::wstring folder;
  std::wstring drive;
  std::vector<std::wstring> existingPageFiles;
  std::vector<std::wstring> systemPartition;
  std::map<std::wstring, std::wstring> volumeOf;               // a file's volume
  std::map<std::wstring, std::vector<std::uint32_t>> disksOf;  // a volume's disks
  std::map<std::wstring, FileAnswer> files;                    // what opening a file says

  std::wstring windowsFolder() override { return folder; }
  std::wstring systemDrive() override { return drive; }
  std::vector<std::wstring> machineStrings(const wchar_t* key, const wchar_t* value) override {
    if (std::wstring(key) == disks::kMemoryManagementKey &&
        std::wstring(value) == L"ExistingPageFiles")
      return existingPageFiles;
    if (std::wstring(key) == disks::kSetupKey && std::wstring(value) == L"SystemPartition")
      return systemPartition;
    return {};
  }
  std::vector<std::wstring> volumes() override {
    std::vector<std::wstring> names;
    for (const auto& [volume, disks] : disksOf) names.push_back(volume);
    return names;
  }
  std::wstring volumeOfFile(const std::wstring& path) override {
    const auto found = volumeOf.find(path);
    return found == volumeOf.end() ? std::wstring() : found->second;
  }
  std::vector<std::uint32_t> disksOfVolume(const std::wstring& volume) override {
    const auto found = disksOf.find(volume);
    return found == disksOf.end() ? std::vector<std::uint32_t>() : found->second;
  }
  FileAnswer openFile(const std::wstring& path) override {
    const auto found = files.find(path);
    return found == files.end() ? FileAnswer::Missing : found->second;
  }
};

const std::wstring kSystemVolume = L"\\\\?\\Volume{0000-system}";
const std::wstring kDataVolume = L"\\\\?\\Volume{0000-data}";
const std::wstring kCardVolume = L"\\\\?\\Volume{0000-card}";

// Disk 0 holds Windows, disk 1 a data volume and disk 2 a card's volume; a
// volume without a letter is named only by its own name.
TableSystem threeDisks() {
  TableSystem system;
  system.folder = L"C:\\Windows";
  system.drive = L"C:";
  system.volumeOf = {{L"C:\\Windows", kSystemVolume},
                     {L"C:\\", kSystemVolume},
                     {L"\\\\?\\C:\\pagefile.sys", kSystemVolume},
                     {L"\\\\?\\D:\\pagefile.sys", kDataVolume},
                     {L"\\\\?\\Volume{0000-data}\\pagefile.sys", kDataVolume}};
  system.disksOf = {{kSystemVolume, {0}}, {kDataVolume, {1}}, {kCardVolume, {2}}};
  return system;
}

using FileAnswer = SystemAnswers::FileAnswer;

// Which disks hold a page file, by what the registry lists and what the
// files at the volumes' roots answer. Only a page file in use counts: one the
// system names, or one that opens for nobody.
TEST(Win32SystemDisks, PageFilesAreTheOnesInUse) {
  struct Case {
    const char* name;
    std::vector<std::wstring> existing;        // ExistingPageFiles
    std::map<std::wstring, FileAnswer> files;  // beside the volumes
    std::set<std::uint32_t> pageFiles;         // the disks found
  };
  const Case cases[] = {
      {"none anywhere", {}, {}, {}},
      {"named in the system's name space", {L"\\??\\D:\\pagefile.sys"}, {}, {1}},
      {"named on a volume without a letter", {L"\\??\\Volume{0000-data}\\pagefile.sys"}, {}, {1}},
      {"named where no volume answers", {L"\\??\\X:\\pagefile.sys"}, {}, {}},
      {"named, several", {L"\\??\\C:\\pagefile.sys", L"\\??\\D:\\pagefile.sys"}, {}, {0, 1}},
      {"in use at a volume's root",
       {},
       {{kCardVolume + L"\\pagefile.sys", FileAnswer::SharingViolation}},
       {2}},
      {"a swap file in use",
       {},
       {{kDataVolume + L"\\swapfile.sys", FileAnswer::SharingViolation}},
       {1}},
      {"left over: it opens",
       {},
       {{kCardVolume + L"\\pagefile.sys", FileAnswer::Opens},
        {kCardVolume + L"\\swapfile.sys", FileAnswer::Opens}},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TableSystem system = threeDisks();
    system.existingPageFiles = c.existing;
    system.files = c.files;
    const disks::SystemDisks found = disks::findSystemDisks(system);
    EXPECT_EQ(found.pageFiles, c.pageFiles);
    EXPECT_EQ(found.windows, std::set<std::uint32_t>{0});
    for (std::uint32_t disk : c.pageFiles) EXPECT_TRUE(found.holds(disk));
  }
}

// The system's own name space becomes the file calls' own, never a path
// relative to the current folder.
TEST(Win32SystemDisks, PageFilePathsTheFileCallsOpen) {
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"\\??\\C:\\pagefile.sys", L"\\\\?\\C:\\pagefile.sys"},
      {L"\\??\\Volume{1234}\\pagefile.sys", L"\\\\?\\Volume{1234}\\pagefile.sys"},
      {L"\\Device\\HarddiskVolume3\\pagefile.sys",
       L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume3\\pagefile.sys"},
      {L"C:\\pagefile.sys", L"C:\\pagefile.sys"},
  };
  for (const auto& [entry, path] : cases) EXPECT_EQ(disks::pageFilePath(entry), path);
}

// The Windows folder's disk, the system drive's, and the disk of the
// partition the firmware started from, each its own.
TEST(Win32SystemDisks, WindowsFolderSystemDriveAndSystemPartition) {
  TableSystem system = threeDisks();
  system.drive = L"D:";
  system.volumeOf[L"D:\\"] = kDataVolume;
  system.systemPartition = {L"\\Device\\HarddiskVolume1"};
  system.disksOf[L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1"] = {2};
  disks::SystemDisks found = disks::findSystemDisks(system);
  EXPECT_EQ(found.windows, (std::set<std::uint32_t>{0, 1}));
  EXPECT_EQ(found.systemPartition, std::set<std::uint32_t>{2});
  EXPECT_TRUE(found.pageFiles.empty());
  EXPECT_TRUE(found.holds(2));
  EXPECT_FALSE(found.holds(3));

  // A system that tells nothing holds no disk.
  TableSystem silent;
  found = disks::findSystemDisks(silent);
  EXPECT_FALSE(found.holds(0));
}

}  // namespace
