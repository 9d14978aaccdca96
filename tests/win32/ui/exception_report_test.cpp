// A failure that no step handles reaches the exception report, and the
// window goes on.
#include <stdexcept>

#include "tests/win32/ui/run_fixture.h"
#include "ui/app_error.h"

using namespace ui_test;

namespace {

class ExceptionReportTest : public RunTest {};

// A failure that escapes the write reaches the exception report: the period
// rule, the application title as caption, the error icon, every window of
// the application disabled while it is open; and the window goes on.
TEST_F(ExceptionReportTest, ExceptionReportInAHandler) {
  struct Case {
    const char* what;
    std::function<void()> failure;
    const wchar_t* shown;  // nullptr: nothing is shown
  };
  const Case cases[] = {
      {"letter", [] { throw quenvory::AppError("abc"); }, L"abc."},
      {"digit", [] { throw quenvory::AppError("disk 7"); }, L"disk 7."},
      {"period", [] { throw quenvory::AppError("abc."); }, L"abc."},
      {"exclamation mark", [] { throw quenvory::AppError("abc!"); }, L"abc!"},
      {"parenthesis", [] { throw quenvory::AppError("abc)"); }, L"abc)"},
      {"space", [] { throw quenvory::AppError("abc "); }, L"abc "},
      {"empty", [] { throw quenvory::AppError(""); }, L""},
      {"Chinese", [] { throw quenvory::AppError("\xE8\xB7\xAF\xE5\xBE\x84"); }, L"\u8DEF\u5F84."},
      {"silent abort", [] { throw quenvory::SilentAbort(); }, nullptr},
      {"other kind", [] { throw std::runtime_error("bad thing"); },
       L"unexpected failure inside the program: bad thing."},
      {"not an exception class", [] { throw 42; }, L"unexpected failure inside the program."},
  };
  // The title this test's own executable, quenvory_ui_tests.exe, gives.
  const std::wstring title = L"quenvory_ui_tests";

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = watcher.boxes().size();
    disk.failure = c.failure;
    click("btStart");
    disk.failure = nullptr;
    if (c.shown == nullptr) {
      // A report is shown, and closed by the watcher, inside the click: by
      // now it would have been counted.
      EXPECT_EQ(watcher.boxes().size(), before);
    } else {
      ASSERT_TRUE(watcher.waitForBoxes(before + 1, 5s));
      const SeenBox box = watcher.boxes().back();
      EXPECT_EQ(box.text, c.shown);
      EXPECT_EQ(box.caption, title);
      EXPECT_TRUE(box.errorIcon);
      EXPECT_FALSE(box.mainEnabled);
    }
    // The window goes on, ready for the next write.
    EXPECT_TRUE(IsWindow(form->handle()));
    EXPECT_TRUE(IsWindowEnabled(form->handle()));
    EXPECT_TRUE(IsWindowEnabled(form->control("btStart")));
    EXPECT_FALSE(form->running());
  }
  // And a write after them all works.
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  offerImage(L"after.S7img", completeImage(2));
  const std::size_t before = watcher.boxes().size();
  click("btStart");
  ASSERT_TRUE(watcher.waitForBoxes(before + 1, 5s));
  EXPECT_EQ(watcher.boxes().back().text, L"done");
}

TEST(ApplicationTitle, FromTheExecutableName) {
  struct Case {
    const wchar_t* path;
    const wchar_t* title;
  };
  const Case cases[] = {
      {L"C:\\Tools\\WRITER.EXE", L"Writer"},
      {L"C:\\Tools\\quenvory.exe", L"quenvory"},
      {L"C:\\Program Files\\Card.Writer.v2.exe", L"Card"},
      {L"C:\\dir.with.dots\\MMC", L"Mmc"},
      {L"quenvory-demo.exe", L"quenvory-demo"},
  };
  for (const Case& c : cases) EXPECT_EQ(quenvory::titleFromPath(c.path), c.title);
}

TEST(ExceptionReport, PeriodRule) {
  struct Case {
    const char* text;
    const char* shown;
  };
  const Case cases[] = {
      {"abc", "abc."}, {"abc.", "abc."}, {"abc!", "abc!"}, {"abc)", "abc)"}, {"abc ", "abc "},
      {"", ""},        {"1", "1."},      {"a,", "a,"},     {"a/", "a/."},  // "/" comes after "." in
                                                                           // byte order
  };
  for (const Case& c : cases) EXPECT_EQ(quenvory::withPeriod(c.text), c.shown) << c.text;
}

}  // namespace
