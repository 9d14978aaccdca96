// The status label once a run has ended, however it ended: the count text of
// the header the run accepted (the image's, or the card's for a backup); a
// run that accepted none leaves what the run before left. Never the text of
// a pass that stopped.
// clang-format off
#include <windows.h>  // before the headers that build on it
// clang-format on

#include <commdlg.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "disks/simulated_disk_services.h"
#include "tests/win32/ui/window_test_support.h"
#include "ui/Unit1.h"

using namespace ui_test;
using namespace std::chrono_literals;
using quenvory::TForm1;

namespace {

enum class Run { Write, Backup, Compare };

struct Case {
  const char* what;
  Run run;
  std::function<void(disks::SimulatedDrive&)> drive;  // the card G, as the case has it
  std::vector<std::uint8_t> image;                    // empty: the open dialog is cancelled
  const wchar_t* message;                             // the run's first message
  const wchar_t* status;                              // the status label afterwards
};

void asIs(disks::SimulatedDrive&) {}

TEST(StatusAfterARun, ShowsTheLastAcceptedHeadersCount) {
  const std::vector<std::uint8_t> image = completeImage(250);
  const std::vector<std::uint8_t> oldFormat = imageBytes(100, -1134, 512);
  const Case cases[] = {
      // The write.
      {"write: a fixed disk", Run::Write,
       [](disks::SimulatedDrive& d) { d.kind = disks::SimulatedDrive::Kind::FixedDisk; }, image,
       L"your system does not recognize a removable media at >G", L"7 block image"},
      {"write: no image chosen", Run::Write, asIs, {}, L"no image file selected", L"7 block image"},
      {"write: an old header", Run::Write, asIs, oldFormat,
       L"this is V0.9 Image File, use with V0.9", L"7 block image"},
      {"write: an image larger than the card", Run::Write,
       [](disks::SimulatedDrive& d) { d.blocks = 100; }, image,
       L"image of 250 blocks does not fit on card of 100 blocks", L"250 block image"},
      {"write: a block refused", Run::Write,
       [](disks::SimulatedDrive& d) {
         d.refuseBlock = 237;
         d.refuseError = 1117;
       },
       image, L"error 1117 writing to MMC card.", L"250 block image"},
      {"write: the read-back differs", Run::Write,
       [](disks::SimulatedDrive& d) { d.corruptBlock = 123; }, image, L"verify failed at block 123",
       L"250 block image"},
      {"write: done", Run::Write, asIs, image, L"done", L"250 block image"},
      // The backup.
      {"backup: an empty reader",
       Run::Backup,
       [](disks::SimulatedDrive& d) {
         d.kind = disks::SimulatedDrive::Kind::VolumeCard;
         d.notReady = true;
       },
       {},
       L"no card in the reader at >G",
       L"7 block image"},
      // Its file named in the folder that lies on the card.
      {"backup: its file on the card",
       Run::Backup,
       asIs,
       {},
       L"image file is on the card at >G, copy it to another drive first",
       L"7 block image"},
      {"backup: a block unreadable",
       Run::Backup,
       [](disks::SimulatedDrive& d) {
         d.unreadableBlock = 100;
         d.refuseError = 1117;
       },
       {},
       L"error 1117 reading MMC card.",
       L"250 block card"},
      {"backup: the card changed while read",
       Run::Backup,
       [](disks::SimulatedDrive& d) { d.changingBlock = 123; },
       {},
       L"card changed while it was read, at block 123",
       L"250 block card"},
      {"backup: done", Run::Backup, asIs, {}, L"done", L"250 block card"},
      // The comparison.
      {"compare: a cdrom", Run::Compare,
       [](disks::SimulatedDrive& d) { d.kind = disks::SimulatedDrive::Kind::CdRom; }, image,
       L"Query did not return expected dive number", L"7 block image"},
      {"compare: no image chosen",
       Run::Compare,
       asIs,
       {},
       L"no image file selected",
       L"7 block image"},
      {"compare: an old header", Run::Compare, asIs, oldFormat,
       L"this is V0.9 Image File, use with V0.9", L"7 block image"},
      {"compare: the card differs", Run::Compare,
       [](disks::SimulatedDrive& d) { d.corruptBlock = 123; }, image,
       L"card differs from image at block 123", L"250 block image"},
      {"compare: a block unreadable", Run::Compare,
       [](disks::SimulatedDrive& d) {
         d.unreadableBlock = 100;
         d.refuseError = 1117;
       },
       image, L"error 1117 reading MMC card.", L"250 block image"},
      {"compare: matches", Run::Compare, asIs, image, L"card matches image", L"250 block image"},
  };

  ScratchFolder scratch;
  const std::wstring cardFile = scratch.file(L"card.img");
  const std::wstring imageFile = scratch.file(L"image.S7img");
  const std::wstring cardFolder = scratch.folder(L"on the card");
  Watcher watcher;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // A fresh window each time, so that no image is chosen before the run.
    disks::SimulatedDiskServices disk;
    TForm1 form(disk, L"QuenvoryV1.0", false);
    form.create(GetModuleHandleW(nullptr));
    ShowWindow(form.handle(), SW_SHOWNORMAL);
    pumpMessages();
    watcher.watchMainWindow(form.handle());

    // The card holds the image, so that a comparison matches.
    writeFile(cardFile, std::vector<std::uint8_t>(image.begin() + 8, image.end()));
    disks::SimulatedDrive drive;
    drive.file = utf8(cardFile);
    drive.blocks = 250;
    drive.folder = utf8(cardFolder);
    c.drive(drive);
    disk.addDrive("G", drive);
    if (!c.image.empty()) writeFile(imageFile, c.image);

    // The open dialog gets the case's image, or is cancelled; the save
    // dialog a file beside the image, or on the card for the case that
    // wants it there.
    const bool onCard = std::wstring(c.message).find(L"is on the card") != std::wstring::npos;
    const std::wstring backup = (onCard ? cardFolder : scratch.path()) + L"\\backup.S7img";
    const std::wstring opened = c.image.empty() ? L"" : imageFile;
    watcher.onFileDialog([&](HWND dialog) {
      // The save dialog's title names the card.
      const bool saving = windowText(dialog).find(L"MMC") != std::wstring::npos;
      const std::wstring typed = saving ? backup : opened;
      if (typed.empty()) return;  // cancelled
      SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(typed.c_str()));
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      waitFor([&] { return !IsWindow(dialog); }, 5s);
    });

    // What an earlier run left in the label.
    form.setStatus("7 block image");
    const std::size_t before = watcher.boxes().size();
    switch (c.run) {
      case Run::Write:
        SendMessageW(form.control("btStart"), BM_CLICK, 0, 0);
        break;
      case Run::Backup:
        SendMessageW(form.handle(), WM_SYSCOMMAND, quenvory::kMiReadCard, 0);
        break;
      case Run::Compare:
        SendMessageW(form.handle(), WM_SYSCOMMAND, quenvory::kMiCompareCard, 0);
        break;
    }
    const std::vector<SeenBox> boxes = watcher.boxes();
    ASSERT_GT(boxes.size(), before);
    EXPECT_EQ(boxes[before].text, c.message);
    EXPECT_EQ(windowText(form.control("Label3")), c.status);
    EXPECT_FALSE(IsWindowVisible(form.control("Panel1")));
    watcher.onFileDialog(nullptr);
    DeleteFileW(backup.c_str());
  }
}

}  // namespace
