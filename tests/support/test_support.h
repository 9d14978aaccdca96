// Fixtures for the card writer's tests: a scratch folder, image files built
// byte by byte, and an operator interface that records what it is asked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "card/disk_services.h"
#include "card/operator_ui.h"

namespace testing_support {

// A folder of its own for each test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::string path(const std::string& name) const { return root_ + "/" + name; }

 private:
  std::string root_;
};

// The byte of block `block` at offset `offset`: every block differs from its
// neighbours, so a block written to the wrong sector shows.
std::uint8_t patternByte(std::int64_t block, std::size_t offset);

// Header words followed by `payloadBytes` bytes of the pattern.
std::vector<std::uint8_t> imageBytes(std::int32_t lastBlock, std::int32_t check,
                                     std::size_t payloadBytes);
// A complete image of `blocks` blocks with the current check relation.
std::vector<std::uint8_t> completeImage(std::int32_t blocks);

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readFile(const std::string& path);

// Records every call into the journal it shares with the disk services, so
// that a test sees what the operator was shown relative to what was released.
class RecordingUi : public card::OperatorUi {
 public:
  explicit RecordingUi(std::vector<std::string>& journal) : journal_(journal) {}

  std::string drive = "G";
  std::string fileName;
  // What the open-file dialog does: the file it confirms, or "" to cancel.
  std::string dialogAnswer;
  std::function<void()> onProcessEvents;
  // The run is asked to stop from the `stopAtCheck`th time it asks whether
  // it should (counted from 1); 0: never.
  int stopAtCheck = 0;
  int stopChecks = 0;

  std::vector<int> positions;                                 // every progress position set
  std::vector<std::pair<std::string, std::string>> messages;  // text, caption

  std::string driveText() override { return drive; }
  std::string chosenFileName() override { return fileName; }
  bool askForFile() override;
  void showMessage(const std::string& text, const std::string& caption) override;
  void repaintWindow() override { journal_.push_back("repaint window"); }
  void setProgress(int position) override;
  void showProgressPanel(bool visible) override;
  void setStatus(const std::string& text) override { journal_.push_back("status " + text); }
  void repaintProgress() override { journal_.push_back("repaint progress"); }
  void processEvents() override;
  // The bytes of each pass over the blocks, as the run announces them, the
  // bytes it says its later passes move, and how many passes went through
  // all their blocks.
  std::vector<std::int64_t> passes;
  std::vector<std::int64_t> bytesAfter;
  int passesFinished = 0;
  void passStarted(std::int64_t bytes, std::int64_t after) override {
    passes.push_back(bytes);
    bytesAfter.push_back(after);
  }
  void passFinished() override { ++passesFinished; }
  bool stopRequested() override {
    ++stopChecks;
    return stopAtCheck > 0 && stopChecks >= stopAtCheck;
  }

 private:
  std::vector<std::string>& journal_;
};

// The journal without block writes, reads and seeks, which tests check
// through the card's contents.
std::vector<std::string> withoutTransfers(const std::vector<std::string>& journal);

// A run leaves its buffer uncleared and trusts it to come zero: a back-end's
// buffers of a run's size are checked, round after round, to be zero and
// page-aligned however many were filled and given back before.
void expectEveryBlockBufferComesZero(card::CardDevices& disk);

}  // namespace testing_support
