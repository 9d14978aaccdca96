// What the command line adds on Windows after a run that did not end well:
// a hint chosen by the outcome's ending, its error code and what it is
// about, never by its words; the system's reason in the system's words.
#include "cli/hints.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>

#include "card/outcome.h"
#include "cli/platform.h"

namespace {

card::Outcome outcome(card::Ending ending, std::uint32_t code,
                      card::About about = card::About::Card) {
  card::Outcome o;
  o.ending = ending;
  o.systemError = code;
  o.about = about;
  return o;
}

bool begins(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

TEST(HintsOnWindows, NameTheCommonCausesByTheirCode) {
  using card::Ending;
  const std::string protectedCard = "the card refuses writes";
  const std::string gone = "the card reader is gone";
  const std::string noCard = "there is no card in the reader";
  struct Case {
    const char* name;
    card::Outcome outcome;
    std::string begins;  // "" for no hint
  };
  const Case cases[] = {
      {"a card whose lock switch is on", outcome(Ending::Failed, ERROR_WRITE_PROTECT),
       protectedCard},
      {"a write-protected card refused", outcome(Ending::Refused, ERROR_WRITE_PROTECT),
       protectedCard},
      {"the reader unplugged part-way", outcome(Ending::Failed, ERROR_DEVICE_NOT_CONNECTED), gone},
      {"no card in the reader", outcome(Ending::Refused, ERROR_NOT_READY), noCard},
      {"no media in the drive", outcome(Ending::Refused, ERROR_NO_MEDIA_IN_DRIVE), noCard},
      {"no reader behind the letter", outcome(Ending::Refused, ERROR_FILE_NOT_FOUND),
       "Q: " + cli::systemReason(ERROR_FILE_NOT_FOUND) + ": no card reader behind the letter Q"},
      {"a card that differs", outcome(Ending::Failed, 0), ""},
      {"a file gone part-way is no missing reader", outcome(Ending::Failed, ERROR_FILE_NOT_FOUND),
       ""},
      {"any other error", outcome(Ending::Failed, ERROR_CRC), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string hint = cli::hintAfterRun(c.outcome, "Q", cli::RunFiles{});
    if (c.begins.empty())
      EXPECT_EQ(hint, "");
    else
      EXPECT_TRUE(begins(hint, c.begins)) << hint;
  }
  // Missing rights: an administrator's console, or a policy, whichever
  // this process is.
  const std::string denied =
      cli::hintAfterRun(outcome(Ending::Refused, ERROR_ACCESS_DENIED), "Q", cli::RunFiles{});
  EXPECT_TRUE(begins(denied, "writing a card needs a console started as administrator") ||
              begins(denied, "this PC denies writes to removable disks"))
      << denied;
  card::Outcome busy = outcome(Ending::Refused, ERROR_SHARING_VIOLATION);
  busy.cardBusy = true;
  EXPECT_TRUE(begins(cli::hintAfterRun(busy, "Q", cli::RunFiles{}),
                     "the card's volume stayed in use (error 32"));
}

// A file's hint names the file and the system's reason, in the system's words.
TEST(HintsOnWindows, AFileIsNamedWithTheSystemsReason) {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  char folder[MAX_PATH * 3] = {};
  WideCharToMultiByte(CP_UTF8, 0, temp, -1, folder, sizeof folder, nullptr, nullptr);
  const std::string missing = std::string(folder) + "quenvory-not-there.S7img";
  const std::string reason = cli::systemReason(ERROR_FILE_NOT_FOUND);
  ASSERT_NE(reason, "");
  EXPECT_NE(reason.back(), '.');
  EXPECT_EQ(cli::hintAfterRun(
                outcome(card::Ending::Refused, ERROR_FILE_NOT_FOUND, card::About::ImageFile), "G",
                cli::RunFiles{missing, ""}),
            missing + ": " + reason);
  EXPECT_EQ(
      cli::hintAfterRun(outcome(card::Ending::Refused, ERROR_ACCESS_DENIED, card::About::ImageFile),
                        "G", cli::RunFiles{folder, ""}),
      std::string(folder) + ": a folder, not an image file: name the .S7img file in it");
  const std::string backup = std::string(folder) + "quenvory-no-folder\\backup.S7img";
  EXPECT_EQ(cli::hintAfterRun(
                outcome(card::Ending::Refused, ERROR_PATH_NOT_FOUND, card::About::BackupFile), "G",
                cli::RunFiles{"", backup}),
            std::string(folder) + "quenvory-no-folder: " + cli::systemReason(ERROR_PATH_NOT_FOUND) +
                ": the folder for the backup file does not exist; make it first or name another");
}

}  // namespace
