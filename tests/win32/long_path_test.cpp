// Image, card and backup files whose path is about 300 characters long, as
// an operator's nested folders give them, through the file services every
// back-end shares: the system is asked for them under Wine as on a PC whose
// long-path policy is off.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "card/backup_run.h"
#include "card/write_run.h"
#include "disks/simulated_disk_services.h"
#include "disks/utf16.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::completeImage;
using testing_support::RecordingUi;
using testing_support::ScratchDir;
using Bytes = std::vector<std::uint8_t>;

// The image file's header: its two words.
constexpr std::size_t kHeaderBytes = 8;

// The test's own file calls take the path whole, whatever the product does.
std::wstring whole(const std::string& path) {
  std::wstring wide = disks::toUtf16(path);
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  return L"\\\\?\\" + wide;
}

void writeWhole(const std::string& path, const Bytes& bytes) {
  const HANDLE file = CreateFileW(whole(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr));
  CloseHandle(file);
}

Bytes readWhole(const std::string& path) {
  const HANDLE file = CreateFileW(whole(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  Bytes bytes(1 << 20);
  DWORD read = 0;
  ReadFile(file, bytes.data(), DWORD(bytes.size()), &read, nullptr);
  CloseHandle(file);
  bytes.resize(read);
  return bytes;
}

bool existsWhole(const std::string& path) {
  return GetFileAttributesW(whole(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A folder inside the scratch folder whose path, with a file name of a few
// characters after it, is about 300 characters long; the names keep the
// scratch folder's "/" between them, as a path typed on a PC may.
std::string longFolder(const ScratchDir& scratch) {
  std::string folder = scratch.path("");
  folder.pop_back();
  while (folder.size() < 280) {
    folder += "/" + std::string(60, 'n');
    EXPECT_TRUE(CreateDirectoryW(whole(folder).c_str(), nullptr)) << GetLastError();
  }
  return folder;
}

// What the system's file calls are given. Wine opens a long path without
// the prefix too, where a PC whose long-path policy is off refuses it: the
// prefix itself is checked here.
TEST(LongPaths, AFullPathOf260CharactersOrMoreGoesWholeWithThePrefix) {
  const std::string name(100, 'n');
  const std::string longPath = "C:\\" + name + "\\" + name + "\\" + name + ".S7img";
  const std::wstring wideName = disks::toUtf16(name);
  const std::wstring whole = L"C:\\" + wideName + L"\\" + wideName + L"\\" + wideName + L".S7img";
  struct Case {
    std::string path;
    std::wstring given;
  };
  const Case cases[] = {
      // Short paths as they stand, whatever their form.
      {"C:\\images\\machine.S7img", L"C:\\images\\machine.S7img"},
      {"C:/images/../images/machine.S7img", L"C:/images/../images/machine.S7img"},
      {"\\\\server\\share\\machine.S7img", L"\\\\server\\share\\machine.S7img"},
      // At the old limit: 259 characters still open as they stand, 260 do not.
      {"C:\\" + std::string(256, 'a'), L"C:\\" + std::wstring(256, L'a')},
      {"C:\\" + std::string(257, 'a'), L"\\\\?\\C:\\" + std::wstring(257, L'a')},
      // Long ones whole, cleaned up as the system would have: "/", ".", "..".
      {longPath, L"\\\\?\\" + whole},
      {"C:/" + name + "/./" + name + "/x/../" + name + ".S7img", L"\\\\?\\" + whole},
      {"\\\\server\\share\\" + name + "\\" + name + "\\" + name,
       L"\\\\?\\UNC\\server\\share\\" + wideName + L"\\" + wideName + L"\\" + wideName},
      // Already in the system's own form.
      {"\\\\?\\" + longPath, L"\\\\?\\" + whole},
      {"\\\\.\\PhysicalDrive1", L"\\\\.\\PhysicalDrive1"},
  };
  for (const Case& c : cases) EXPECT_EQ(disks::systemPath(c.path), c.given) << c.path;
}

TEST(LongPaths, WriteAndBackupThroughAPathOfAbout300Characters) {
  ScratchDir scratch;
  const std::string folder = longFolder(scratch);
  const std::string image = folder + "/image.S7img", card = folder + "/card-G.img",
                    backup = folder + "/backup.S7img";
  ASSERT_GT(image.size(), 290u);
  ASSERT_LT(image.size(), 360u);

  constexpr std::int32_t kBlocks = 40;
  const Bytes bytes = completeImage(kBlocks);
  writeWhole(image, bytes);

  std::vector<std::string> journal;
  disks::SimulatedDiskServices disk(&journal);
  disks::SimulatedDrive drive;
  drive.file = card;
  drive.blocks = kBlocks;
  disk.addDrive("G", drive);
  RecordingUi ui(journal);
  ui.fileName = image;
  card::WriteOptions options;
  options.lock.wait = [](std::chrono::milliseconds) {};
  card::BackupOptions backupOptions;
  backupOptions.lock.wait = options.lock.wait;

  ASSERT_TRUE(card::runWrite(disk, ui, options).done()) << ui.messages.back().first;
  EXPECT_EQ(readWhole(card), Bytes(bytes.begin() + kHeaderBytes, bytes.end()));

  // The card holds the image whole: its backup is the image again.
  ASSERT_TRUE(card::runBackup(disk, ui, backup, backupOptions).done()) << ui.messages.back().first;
  EXPECT_EQ(readWhole(backup), bytes);
  EXPECT_FALSE(existsWhole(backup + ".partial"));

  // Nothing of the run left open or behind, so the scratch folder goes.
  EXPECT_EQ(disk.openImages(), 0);
  EXPECT_EQ(disk.openBackups(), 0);
  for (const std::string& file : {image, card, backup}) DeleteFileW(whole(file).c_str());
  for (std::string left = folder; left.size() > scratch.path("").size();
       left.resize(left.find_last_of('/')))
    RemoveDirectoryW(whole(left).c_str());
}

}  // namespace
