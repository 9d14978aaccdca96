// The window with simulated cards behind it, for the tests of runs started
// from it: a form that samples its progress display whenever a run lets it
// process events, disk services that can fail on request, and the watcher
// that answers every dialog and message box.
#pragma once

// clang-format off
#include <windows.h>  // before the headers that build on it
// clang-format on

#include <commctrl.h>
#include <commdlg.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disks/simulated_disk_services.h"
#include "tests/win32/ui/window_test_support.h"
#include "ui/Unit1.h"

namespace ui_test {

using namespace std::chrono_literals;

// The window, sampling its progress display each time the run lets it
// process events.
class SamplingForm : public quenvory::TForm1 {
 public:
  using TForm1::TForm1;
  struct Sample {
    bool panelVisible;
    int position;
    std::wstring status;
  };
  std::vector<Sample> samples;
  // Runs at the first look at the window during the run.
  std::function<void()> duringRun;
  // Runs once, at the first look at the window that `when` accepts.
  void atSample(std::function<bool(const Sample&)> when, std::function<void()> action) {
    when_ = std::move(when);
    action_ = std::move(action);
  }

  void processEvents() override {
    samples.push_back({IsWindowVisible(control("Panel1")) != FALSE,
                       int(SendMessageW(control("ProgressBar1"), PBM_GETPOS, 0, 0)),
                       windowText(control("Label3"))});
    if (duringRun) std::exchange(duringRun, nullptr)();
    if (when_ && when_(samples.back())) {
      when_ = nullptr;
      std::exchange(action_, nullptr)();
    }
    TForm1::processEvents();
  }

 private:
  std::function<bool(const Sample&)> when_;
  std::function<void()> action_;
};

// Disk services whose device lookup fails the way a test asks.
class FailingDisk : public disks::SimulatedDiskServices {
 public:
  using SimulatedDiskServices::SimulatedDiskServices;
  std::function<void()> failure;
  bool queryDosDevice(const std::string& name, std::string& target) override {
    if (failure) failure();
    return SimulatedDiskServices::queryDosDevice(name, target);
  }
};

using Messages = std::vector<std::pair<std::wstring, std::wstring>>;

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override { openWindow(); }
  void TearDown() override {
    form.reset();
    pumpMessages();
  }

  // A window of its own, for a case that follows one whose window closed.
  void openWindow() {
    form = std::make_unique<SamplingForm>(disk, L"QuenvoryV1.0", false);
    form->create(GetModuleHandleW(nullptr));
    ShowWindow(form->handle(), SW_SHOWNORMAL);
    pumpMessages();
    watcher.watchMainWindow(form->handle());
  }

  void addCard(const std::string& letter, disks::SimulatedDrive::Kind kind,
               std::int64_t refuseBlock = -1) {
    disks::SimulatedDrive drive;
    drive.kind = kind;
    drive.file = utf8(cardFile);
    drive.refuseBlock = refuseBlock;
    drive.refuseError = 1117;
    disk.addDrive(letter, drive);
  }
  // Confirms `path` in the open dialog the next time it opens.
  void confirmInDialog(const std::wstring& path) {
    watcher.onFileDialog([path](HWND dialog) {
      SendMessageW(dialog, CDM_SETCONTROLTEXT, 0x47C, reinterpret_cast<LPARAM>(path.c_str()));
      PostMessageW(dialog, WM_COMMAND, IDOK, 0);
      waitFor([&] { return !IsWindow(dialog); }, 5s);
    });
  }
  // The image file `name` in the scratch folder, holding `bytes`, confirmed
  // in the open dialog the next time it opens.
  std::wstring offerImage(const wchar_t* name, const std::vector<std::uint8_t>& bytes) {
    const std::wstring path = scratch.file(name);
    writeFile(path, bytes);
    confirmInDialog(path);
    return path;
  }
  void click(const char* name) { SendMessageW(form->control(name), BM_CLICK, 0, 0); }
  Messages messages() {
    Messages shown;
    for (const SeenBox& box : watcher.boxes()) shown.emplace_back(box.text, box.caption);
    return shown;
  }
  // The boxes seen since the first `before` of them.
  Messages messagesSince(std::size_t before) {
    const Messages all = messages();
    return Messages(all.begin() + std::min(before, all.size()), all.end());
  }
  bool nothingOpen() {
    return disk.openDevices() == 0 && disk.openImages() == 0 && disk.liveBuffers() == 0;
  }

  ScratchFolder scratch;
  std::wstring cardFile = scratch.file(L"card.img");
  std::vector<std::string> journal;
  FailingDisk disk{&journal};
  std::unique_ptr<SamplingForm> form;
  Watcher watcher;
};

}  // namespace ui_test
