// quenvory-cli.exe under Wine, run as a console program from a script
// would be: the listing of the test prefix's drives, the refusals of its
// floppy-, hard-disk- and cdrom-type letters, usage errors, and an image
// whose name is not ASCII.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

namespace {

std::wstring wide(const std::string& text) {
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
  return out;
}

std::wstring windowsPath(const char* built) {
  std::wstring path = wide(built);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  if (!path.empty() && path[0] == L'\\') path = L"Z:" + path;
  return path;
}

struct Result {
  DWORD status = 9999;
  std::string output;
  std::string errors;
};

void drain(HANDLE pipe, std::string& into) {
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got > 0) into.append(chunk, got);
}

// The program with `args`; standard input is empty (no terminal), its
// outputs are pipes.
Result runCli(const std::vector<std::wstring>& args) {
  Result result;
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  CreatePipe(&outRead, &outWrite, &inherit, 0);
  CreatePipe(&errRead, &errWrite, &inherit, 0);
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  const std::wstring exe = windowsPath(QUENVORY_CLI_EXE);
  std::wstring line = L"\"" + exe + L"\"";
  for (const std::wstring& arg : args) line += L" \"" + arg + L"\"";
  PROCESS_INFORMATION process = {};
  const bool started = CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &process) != FALSE;
  CloseHandle(outWrite);
  CloseHandle(errWrite);
  CloseHandle(input);
  // The pipes close when the program ends: one that hangs is ended after a
  // minute, so that the test fails instead of waiting for ctest's limit.
  bool hung = false;
  std::thread watchdog([&] {
    if (started && WaitForSingleObject(process.hProcess, 60000) == WAIT_TIMEOUT) {
      hung = true;
      TerminateProcess(process.hProcess, 1);
    }
  });
  std::thread errors([&] { drain(errRead, result.errors); });
  drain(outRead, result.output);
  errors.join();
  watchdog.join();
  CloseHandle(outRead);
  CloseHandle(errRead);
  if (!started) return result;
  EXPECT_FALSE(hung) << "the program still ran after a minute";
  GetExitCodeProcess(process.hProcess, &result.status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

// An image file by a UTF-16 name.
std::wstring writeImage(const std::wstring& folder, const std::wstring& name,
                        const std::vector<std::uint8_t>& bytes) {
  const std::wstring path = folder + L"\\" + name;
  FILE* file = _wfopen(path.c_str(), L"wb");
  if (file != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  return path;
}

// A folder of its own for each call: Wine gives a process an id that an
// earlier run in the same prefix had, whose folders are still there.
std::wstring scratchFolder() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + L"quenvory-cli-" +
                              std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(std::random_device{}());
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

TEST(CliUnderWine, ListsNoCardWhereThePrefixHasNone) {
  // g: is a floppy-type letter on a fixed disk, h: a hard-disk volume, i: a
  // cdrom: none of them holds removable media.
  const Result result = runCli({L"list"});
  EXPECT_EQ(result.status, 0u);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(result.errors, "no removable cards found\n");
}

TEST(CliUnderWine, RefusesEveryLetterThatIsNoCard) {
  const std::wstring folder = scratchFolder();
  const std::wstring image = writeImage(folder, L"card.S7img", testing_support::completeImage(4));
  struct Case {
    const wchar_t* target;
    const char* said;
  };
  const Case cases[] = {
      {L"g", "ERROR: your system does not recognize a removable media at >G\n"},
      {L"G:", "ERROR: your system does not recognize a removable media at >G\n"},
      {L"h:", "ERROR: Query did not return expected dive number\n"},
      {L"I", "ERROR: Query did not return expected dive number\n"},
      // A letter with no drive: the hint names it, with the system's
      // words for the answer (a table under Wine differs from Windows').
      {L"Q",
       "ERROR: could not query device\nhint: Q: *: no card reader behind the letter Q; "
       "'quenvory-cli list' shows the cards\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.target)));
    const Result result = runCli({L"write", L"--yes", image, c.target});
    EXPECT_EQ(result.status, 1u);
    // "*" stands for the system's words, which are never empty.
    const std::string said = c.said;
    const std::size_t any = said.find('*');
    if (any == std::string::npos) {
      EXPECT_EQ(result.errors, said);
    } else {
      const std::string before = said.substr(0, any);
      const std::string after = said.substr(any + 1);
      EXPECT_GT(result.errors.size(), before.size() + after.size()) << result.errors;
      EXPECT_EQ(result.errors.substr(0, before.size()), before) << result.errors;
      EXPECT_EQ(
          result.errors.substr(result.errors.size() - std::min(after.size(), result.errors.size())),
          after)
          << result.errors;
    }
  }
  // Reading and comparing go through the same checks of the letter.
  const Result read = runCli({L"read", L"G:", folder + L"\\backup.S7img"});
  EXPECT_EQ(read.status, 1u);
  EXPECT_EQ(read.errors, "ERROR: your system does not recognize a removable media at >G\n");
  const Result compare = runCli({L"compare", image, L"i"});
  EXPECT_EQ(compare.status, 1u);
  EXPECT_EQ(compare.errors, "ERROR: Query did not return expected dive number\n");
  // Several at once: each card its own line, named.
  const Result several = runCli({L"write", L"--yes", image, L"G", L"H"});
  EXPECT_EQ(several.status, 1u);
  EXPECT_NE(
      several.errors.find("G: ERROR: your system does not recognize a removable media at >G\n"),
      std::string::npos)
      << several.errors;
  EXPECT_NE(several.errors.find("H: ERROR: Query did not return expected dive number\n"),
            std::string::npos)
      << several.errors;
}

TEST(CliUnderWine, UsageErrorsExitTwo) {
  const std::wstring folder = scratchFolder();
  const std::wstring image = writeImage(folder, L"card.S7img", testing_support::completeImage(4));
  struct Case {
    std::vector<std::wstring> args;
    const char* said;
  };
  const Case cases[] = {
      {{}, "A subcommand is required"},
      {{L"format"}, "unknown command 'format'"},
      {{L"write", image}, "TARGET is required"},
      {{L"write", L"--yes", image, L"GH"}, "TARGET must be a drive letter such as G or G:"},
      {{L"write", L"--yes", image, L"/dev/sdb"}, "TARGET must be a drive letter"},
      {{L"write", L"--yes", image, L"g", L"G:"}, "the card G is named twice"},
      {{L"read", L"G"}, "IMAGE is required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    const Result result = runCli(c.args);
    EXPECT_EQ(result.status, 2u);
    EXPECT_NE(result.errors.find(c.said), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("quenvory-cli"), std::string::npos) << result.errors;
  }
  // Without --yes and without a console, a letter that is no card is refused
  // as such first: --yes is never invited for it.
  const Result noCard = runCli({L"write", image, L"G"});
  EXPECT_EQ(noCard.status, 1u);
  EXPECT_EQ(noCard.errors, "ERROR: your system does not recognize a removable media at >G\n");
  const Result help = runCli({L"write", L"--help"});
  EXPECT_EQ(help.status, 0u);
  EXPECT_NE(help.output.find("Usage: quenvory-cli write"), std::string::npos) << help.output;
}

TEST(CliUnderWine, InfoReadsAnImageByAnyNameWithTheSystemsHash) {
  const std::wstring folder = scratchFolder();
  const std::wstring image =
      writeImage(folder, L"\u5361 \u00e9.S7img", testing_support::completeImage(4));
  const Result result = runCli({L"info", image});
  EXPECT_EQ(result.status, 0u) << result.errors;
  EXPECT_NE(result.output.find("blocks: 4 block image\n"), std::string::npos) << result.output;
  // The file's and the payload's SHA-256 as any other tool computes them.
  EXPECT_NE(result.output.find(
                "image_sha256: 582ee50cc7d258cf9f090a552e6f9d683b92ca959e8a6d51f75977ed02546b0f"),
            std::string::npos)
      << result.output;
  EXPECT_NE(result.output.find(
                "blocks_sha256: da0cfa60641fb1752a12819595c061614c18c9dc30bdad62325b8ef687a60e1a"),
            std::string::npos)
      << result.output;
}

// An image, a record file and a backup folder by paths of about 300
// characters: the image is read, the options are accepted, and the refused
// card's line lands in the record.
TEST(CliUnderWine, ImageRecordAndBackupFolderByPathsLongerThan260Characters) {
  std::wstring folder = scratchFolder();
  while (folder.size() < 280) {
    folder += L"\\" + std::wstring(60, L'n');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr)) << GetLastError();
  }
  const std::wstring image = folder + L"\\image.S7img", record = folder + L"\\cards.csv";
  ASSERT_GT(image.size(), 290u);
  writeImage(L"\\\\?\\" + folder, L"image.S7img", testing_support::completeImage(4));

  const Result info = runCli({L"info", image});
  EXPECT_EQ(info.status, 0u) << info.errors;
  EXPECT_NE(info.output.find("blocks: 4 block image\n"), std::string::npos) << info.output;

  // Wine's G: is a fixed disk: refused, and accounted for in the record.
  const Result write =
      runCli({L"write", L"--yes", L"--record", record, L"--backup-dir", folder, image, L"G"});
  EXPECT_EQ(write.status, 1u) << write.errors;
  EXPECT_NE(write.errors.find("does not recognize a removable media"), std::string::npos)
      << write.errors;
  FILE* lines = _wfopen((L"\\\\?\\" + record).c_str(), L"rb");
  ASSERT_NE(lines, nullptr);
  char text[4096] = {};
  const std::size_t read = std::fread(text, 1, sizeof text - 1, lines);
  std::fclose(lines);
  EXPECT_NE(std::string(text, read).find("image.S7img"), std::string::npos) << text;
}

// The file's bytes and its identity on its volume (a new file gets a new one).
struct FileState {
  std::vector<std::uint8_t> bytes;
  unsigned long long index = 0;
  bool operator==(const FileState& other) const {
    return bytes == other.bytes && index == other.index;
  }
};

FileState fileState(const std::wstring& path) {
  FileState state;
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return state;
  BY_HANDLE_FILE_INFORMATION info = {};
  if (GetFileInformationByHandle(file, &info))
    state.index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
    state.bytes.insert(state.bytes.end(), chunk, chunk + got);
  CloseHandle(file);
  return state;
}

// A read onto a file already there, with no console to ask on: refused
// before the card is looked at unless --yes says to replace it; the file
// keeps its bytes and stays the same file either way here, as the card is
// refused before anything is read.
TEST(CliUnderWine, AReadNeverReplacesAFileWithoutTheOperatorsWord) {
  const std::wstring folder = scratchFolder();
  const std::wstring kept = writeImage(folder, L"kept.S7img", {'k', 'e', 'e', 'p'});
  const FileState before = fileState(kept);
  ASSERT_NE(before.index, 0u);
  struct Case {
    std::vector<std::wstring> args;
    std::string said;
  };
  const std::string name(kept.begin(), kept.end());
  const Case cases[] = {
      {{L"read", L"G", kept},
       "ERROR: " + name + " exists: name a new file, or add --yes to replace it\n"},
      {{L"read", L"--yes", L"G", kept},
       "ERROR: your system does not recognize a removable media at >G\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.said);
    const Result result = runCli(c.args);
    EXPECT_EQ(result.status, 1u);
    EXPECT_EQ(result.errors, c.said);
    EXPECT_TRUE(fileState(kept) == before);
  }
}

}  // namespace

namespace {

// The same behind a path of about 300 characters, for a read and for a
// write's backup: whether a file is already there is asked by the same path
// the file is opened by, or the question would be skipped and the backup's
// rename would replace the file.
TEST(CliUnderWine, AFileBehindALongPathIsNeverReplacedWithoutTheOperatorsWord) {
  std::wstring folder = scratchFolder() + L"\\long";
  CreateDirectoryW(folder.c_str(), nullptr);
  while (folder.size() < 280) {
    folder += L"\\" + std::wstring(60, L'k');
    CreateDirectoryW((L"\\\\?\\" + folder).c_str(), nullptr);
  }
  const std::wstring image =
      writeImage(scratchFolder(), L"card.S7img", testing_support::completeImage(4));
  writeImage(L"\\\\?\\" + folder, L"kept.S7img", {'k', 'e', 'e', 'p'});
  const std::wstring kept = folder + L"\\kept.S7img";
  ASSERT_GT(kept.size(), 290u);
  const FileState before = fileState(L"\\\\?\\" + kept);
  ASSERT_NE(before.index, 0u);
  const std::string name(kept.begin(), kept.end());
  const std::vector<std::wstring> commands[] = {
      {L"read", L"G", kept},
      {L"write", L"--backup", kept, image, L"G"},
  };
  for (const std::vector<std::wstring>& args : commands) {
    SCOPED_TRACE(testing::PrintToString(args[0]));
    const Result result = runCli(args);
    EXPECT_EQ(result.status, 1u);
    EXPECT_EQ(result.errors,
              "ERROR: " + name + " exists: name a new file, or add --yes to replace it\n");
    EXPECT_TRUE(fileState(L"\\\\?\\" + kept) == before);
  }
}

}  // namespace
