#include "card/compare_operation.h"

#include <cstring>
#include <string>
#include <utility>

#include "card/image_file.h"
#include "card/image_steps.h"
#include "card/messages.h"
#include "card/progress.h"

namespace card {
namespace {

class CompareRun {
 public:
  CompareRun(DiskServices& disk, OperatorUi& ui, Card card, const CompareOptions& options)
      : disk_(disk), ui_(ui), card_(std::move(card)), options_(options) {
    if (options_.batchBlocks < 1) options_.batchBlocks = 1;
  }

  // True when the run ended with "card matches image".
  bool run();

 private:
  bool compareBlocks(std::int32_t blockCount);
  // A failure in the middle of the comparison: the message first, then
  // everything released, the panel hidden on the way.
  void failMidRun(const std::string& message, const char* caption);
  unsigned char* imageSlots() const { return static_cast<unsigned char*>(buffer_.get()); }
  unsigned char* cardSlots() const {
    return imageSlots() + std::size_t(options_.batchBlocks) * kBlockSize;
  }

  DiskServices& disk_;
  OperatorUi& ui_;
  Card card_;
  CompareOptions options_;
  ImageFile file_;
  BlockBuffer buffer_;
};

bool CompareRun::run() {
  if (!openChosenImage(disk_, ui_, card_, file_)) return false;

  ui_.repaintWindow();
  ui_.setProgress(0);
  const HeaderCheck header = readHeader(file_);
  if (!header.accepted) {
    ui_.showMessage(header.failure, kErrorCaption);
    file_.release();
    card_.release();
    return false;
  }
  const std::int32_t blockCount = header.blockCount;
  const std::string status = blockCountText(blockCount);
  ui_.setStatus(status + " - comparing");
  ui_.processEvents();

  // The write refuses an image larger than the card, so no card can hold one.
  if (!imageFitsOnCard(ui_, card_, file_, blockCount)) return false;

  // One allocation for the run: a batch of the image's blocks, then the same
  // blocks as the card holds them. Zeroed, so that a short first block is
  // completed with zeros, as the write completes it.
  const std::size_t batchBytes = std::size_t(options_.batchBlocks) * kBlockSize;
  void* memory = disk_.allocateBuffer(2 * batchBytes);
  if (memory == nullptr) {
    ui_.showMessage("not enough memory for the block buffer", kErrorCaption);
    file_.release();
    card_.release();
    return false;
  }
  buffer_ = BlockBuffer(disk_, memory);
  std::memset(memory, 0, 2 * batchBytes);

  if (!compareBlocks(blockCount)) return false;
  ui_.setStatus(status);

  buffer_.release();
  ui_.showProgressPanel(false);
  file_.release();
  card_.release();
  ui_.showMessage("card matches image", kDoneCaption);
  return true;
}

void CompareRun::failMidRun(const std::string& message, const char* caption) {
  ui_.showMessage(message, caption);
  card_.release();
  file_.release();
  ui_.showProgressPanel(false);
  buffer_.release();
}

bool CompareRun::compareBlocks(std::int32_t blockCount) {
  if (!disk_.seekDevice(card_.device(), 0)) {
    failMidRun(systemErrorText("reading MMC card.", disk_.lastError()), kCardErrorCaption);
    return false;
  }
  Progress progress(ui_, blockCount);
  for (std::int32_t first = 0; first < blockCount;) {
    // The image's blocks completed as the write completes them, so that a
    // short image is compared with what writing it put on the card. At a
    // batch's start the block before it is the last slot of the batch before,
    // which was full.
    const Batch batch = readImageBatch(
        file_, first, options_.batchBlocks, blockCount, imageSlots(),
        first > 0 ? imageSlots() + std::size_t(options_.batchBlocks - 1) * kBlockSize : nullptr);
    if (batch.blocks > 0 &&
        !disk_.readDevice(card_.device(), cardSlots(), std::size_t(batch.blocks) * kBlockSize)) {
      failMidRun(systemErrorText("reading MMC card.", disk_.lastError()), kCardErrorCaption);
      return false;
    }
    const std::int32_t last = batch.first + batch.blocks - 1;
    for (std::int32_t i = batch.first; i <= last; ++i) {
      const std::size_t at = std::size_t(i - batch.first) * kBlockSize;
      const bool shortBlock = batch.endsShort && i == last;
      if (shortBlock) warnShortImage(ui_, i);
      if (std::memcmp(imageSlots() + at, cardSlots() + at, kBlockSize) != 0) {
        failMidRun("card differs from image at block " + std::to_string(i), kCardErrorCaption);
        return false;
      }
      progress.after(shortBlock ? blockCount : i);
    }
    // The blocks that arrived before a read error are compared first, so a
    // difference among them is named rather than the error.
    if (batch.readFailed) {
      failMidRun("image file read error at block " + std::to_string(batch.first + batch.blocks),
                 kErrorCaption);
      return false;
    }
    if (batch.endsShort) break;
    first += batch.blocks;
  }
  return true;
}

}  // namespace

bool runCompareOperation(DiskServices& disk, OperatorUi& ui, const CompareOptions& options) {
  Card card = openCardDevice(disk, ui);
  return card && compareCard(disk, ui, std::move(card), options);
}

bool compareCard(DiskServices& disk, OperatorUi& ui, Card card, const CompareOptions& options) {
  return CompareRun(disk, ui, std::move(card), options).run();
}

}  // namespace card
