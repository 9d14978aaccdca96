// What the operator sees of a write: the progress display during the run,
// the state a failed run leaves, and the card writer's message boxes.
#include "tests/win32/ui/run_fixture.h"

using namespace ui_test;

namespace {

class RunMessagesTest : public RunTest {};

TEST_F(RunMessagesTest, ProgressShowsDuringTheRunAndStaysAtEighty) {
  addCard("G", disks::SimulatedDrive::Kind::RemovableCard);
  offerImage(L"image.S7img", completeImage(250));
  click("btStart");  // no file chosen yet: the dialog opens after the drive checks

  ASSERT_TRUE(watcher.waitForBoxes(1, 10s));
  EXPECT_EQ(messages(), (Messages{{L"done", L"Quenvory"}}));
  std::vector<int> shownAt;
  for (const auto& sample : form->samples)
    if (sample.panelVisible) shownAt.push_back(sample.position);
  // The write moves the bar at blocks 100 and 200 (a read-back may follow).
  ASSERT_GE(shownAt.size(), 2u);
  EXPECT_EQ(std::vector<int>(shownAt.begin(), shownAt.begin() + 2), (std::vector<int>{40, 80}));
  EXPECT_FALSE(IsWindowVisible(form->control("Panel1")));
  EXPECT_EQ(SendMessageW(form->control("ProgressBar1"), PBM_GETPOS, 0, 0), 80);
}

// A run that fails leaves the status text and the bar where the last accepted
// header and the blocks written under it put them; the run after it starts
// from an empty bar and shows its own block count.
TEST_F(RunMessagesTest, FailedRunLeavesTheLastHeadersStateAndTheNextRunStartsClean) {
  struct Step {
    const char* what;
    std::vector<std::uint8_t> image;
    std::int64_t refuseBlock;
    Messages expected;
    const wchar_t* status;  // the status text afterwards
    int position;           // the bar's position afterwards
    // Whether the window processes events during the run: only from an
    // accepted header on.
    bool looked;
  };
  const Step steps[] = {
      {.what = "refused block",
       .image = completeImage(250),
       .refuseBlock = 237,
       .expected = {{L"error 1117 writing to MMC card.", L"MMC ERROR"}},
       .status = L"250 block image",
       .position = 80,
       .looked = true},
      // The bar is emptied before the header is read; the status text is
      // only ever set from an accepted header.
      {.what = "header refused",
       .image = imageBytes(100, -1134, 512),
       .refuseBlock = -1,
       .expected = {{L"this is V0.9 Image File, use with V0.9", L"ERROR"}},
       .status = L"250 block image",
       .position = 0,
       .looked = false},
      {.what = "written",
       .image = completeImage(150),
       .refuseBlock = -1,
       .expected = {{L"done", L"Quenvory"}},
       .status = L"150 block image",
       .position = 66,
       .looked = true},
  };
  confirmInDialog(scratch.file(L"step.S7img"));  // asked for by the first run only
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    addCard("G", disks::SimulatedDrive::Kind::RemovableCard, step.refuseBlock);
    writeFile(scratch.file(L"step.S7img"), step.image);
    form->samples.clear();
    const std::size_t before = watcher.boxes().size();
    click("btStart");
    const std::vector<SeenBox> all = watcher.boxes();
    ASSERT_EQ(all.size(), before + step.expected.size());
    Messages shown;
    for (std::size_t k = before; k < all.size(); ++k)
      shown.emplace_back(all[k].text, all[k].caption);
    EXPECT_EQ(shown, step.expected);
    EXPECT_EQ(windowText(form->control("Label3")), step.status);
    EXPECT_EQ(SendMessageW(form->control("ProgressBar1"), PBM_GETPOS, 0, 0), step.position);
    EXPECT_FALSE(IsWindowVisible(form->control("Panel1")));
    EXPECT_EQ(!form->samples.empty(), step.looked);
    if (step.looked && !form->samples.empty()) {
      // The first look at the window, right after this run's header was
      // accepted: its own count, an empty bar, no panel yet.
      EXPECT_FALSE(form->samples[0].panelVisible);
      EXPECT_EQ(form->samples[0].position, 0);
      EXPECT_EQ(form->samples[0].status, step.status);
    }
    EXPECT_TRUE(nothingOpen());
  }
}

// The card writer's messages: the text and caption it gives, an OK button,
// no icon, owned by the window, which takes no clicks meanwhile.
TEST_F(RunMessagesTest, CardWriterMessagesHaveNoIconAndAreOwnedByTheWindow) {
  struct Case {
    const char* what;
    disks::SimulatedDrive::Kind kind;
    std::vector<std::uint8_t> image;
    std::int64_t refuseBlock;
    Messages expected;
  };
  const Case cases[] = {
      {.what = "complete image",
       .kind = disks::SimulatedDrive::Kind::RemovableCard,
       .image = completeImage(3),
       .refuseBlock = -1,
       .expected = {{L"done", L"Quenvory"}}},
      {.what = "fixed disk",
       .kind = disks::SimulatedDrive::Kind::FixedDisk,
       .image = completeImage(3),
       .refuseBlock = -1,
       .expected = {{L"your system does not recognize a removable media at >G", L"ERROR"}}},
      {.what = "old format",
       .kind = disks::SimulatedDrive::Kind::RemovableCard,
       .image = imageBytes(100, -1134, 512),
       .refuseBlock = -1,
       .expected = {{L"this is V0.9 Image File, use with V0.9", L"ERROR"}}},
      {.what = "refused block",
       .kind = disks::SimulatedDrive::Kind::RemovableCard,
       .image = completeImage(250),
       .refuseBlock = 37,
       .expected = {{L"error 1117 writing to MMC card.", L"MMC ERROR"}}},
  };
  confirmInDialog(scratch.file(L"case.S7img"));  // asked for by the first run only
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    addCard("G", c.kind, c.refuseBlock);
    writeFile(scratch.file(L"case.S7img"), c.image);
    const std::size_t before = watcher.boxes().size();
    click("btStart");
    ASSERT_TRUE(watcher.waitForBoxes(before + c.expected.size(), 10s));
    const std::vector<SeenBox> all = watcher.boxes();
    const std::vector<SeenBox> seen(all.begin() + before, all.end());
    ASSERT_EQ(seen.size(), c.expected.size());
    for (std::size_t k = 0; k < seen.size(); ++k) {
      EXPECT_EQ(seen[k].text, c.expected[k].first);
      EXPECT_EQ(seen[k].caption, c.expected[k].second);
      EXPECT_FALSE(seen[k].anyIcon);
      EXPECT_EQ(seen[k].owner, form->handle());
      EXPECT_FALSE(seen[k].mainEnabled);
    }
    EXPECT_TRUE(nothingOpen());
  }
}

}  // namespace
