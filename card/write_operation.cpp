#include "write_operation.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "image_file.h"
#include "messages.h"
#include "progress.h"

namespace card {
namespace {

class WriteRun {
 public:
  WriteRun(DiskServices& disk, OperatorUi& ui, Card card, const WriteOptions& options)
      : disk_(disk), ui_(ui), card_(std::move(card)), options_(options) {
    if (options_.batchBlocks < 1) options_.batchBlocks = 1;
  }

  // True when the run ended with "done".
  bool run();

 private:
  bool openImage();
  bool fitsOnCard(std::int32_t blockCount);
  bool copyBlocks(std::int32_t blockCount, std::int32_t& written);
  bool verifyBlocks(std::int32_t blockCount, std::int32_t written);
  Batch readBatch(std::int32_t first, std::int32_t count, std::int32_t blockCount);
  void warnShort(std::int32_t index);
  bool writeBlockByBlock(const Batch& batch, std::int32_t blockCount, Progress& progress);
  unsigned char* slot(std::int32_t index) const {
    return static_cast<unsigned char*>(buffer_.get()) + std::size_t(index) * kBlockSize;
  }
  unsigned char* readBack() const { return slot(options_.batchBlocks); }
  // A failure in the middle of the copy: the message first, then everything
  // released, the panel hidden on the way.
  void failMidRun(const std::string& message, const char* caption);

  DiskServices& disk_;
  OperatorUi& ui_;
  Card card_;
  WriteOptions options_;
  ImageFile file_;
  BlockBuffer buffer_;
};

bool WriteRun::run() {
  if (!openImage()) return false;

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
  ui_.setStatus(status);
  ui_.processEvents();

  if (!fitsOnCard(blockCount)) return false;
  if (!card_.lockVolume(ui_, options_.lockRetryPause)) {
    file_.release();
    card_.release();
    return false;
  }

  // One allocation for the run: a batch of blocks going out, then the blocks read
  // back. Zeroed, so that a short first block is completed with zeros.
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

  std::int32_t written = 0;
  if (!copyBlocks(blockCount, written)) return false;
  if (options_.verify && written > 0) {
    ui_.setStatus(status + " - verifying");
    ui_.setProgress(0);
    ui_.repaintProgress();
    ui_.processEvents();
    if (!verifyBlocks(blockCount, written)) return false;
    ui_.setStatus(status);
  }

  buffer_.release();
  ui_.showProgressPanel(false);
  file_.release();
  card_.release();
  ui_.showMessage("done", kDoneCaption);
  return true;
}

bool WriteRun::openImage() {
  if (ui_.chosenFileName().empty() && !ui_.askForFile()) {
    ui_.showMessage("no image file selected", kErrorCaption);
    card_.release();
    return false;
  }
  NativeHandle handle = 0;
  if (!disk_.openImage(ui_.chosenFileName(), handle)) {
    ui_.showMessage("image file does not open", kErrorCaption);
    card_.release();
    return false;
  }
  file_ = ImageFile(disk_, handle);
  return true;
}

// An image larger than the card would only show when the card refuses a
// block, half written: refuse it before anything is written.
bool WriteRun::fitsOnCard(std::int32_t blockCount) {
  const std::int64_t cardBlocks = card_.blocks();
  if (blockCount <= cardBlocks) return true;
  ui_.showMessage("image of " + std::to_string(blockCount) + " blocks does not fit on card of " +
                      std::to_string(cardBlocks) + " blocks",
                  kErrorCaption);
  file_.release();
  card_.release();
  return false;
}

Batch WriteRun::readBatch(std::int32_t first, std::int32_t count, std::int32_t blockCount) {
  // At a batch's start, the block before it is the last slot of the batch
  // before, which was full.
  return readImageBatch(file_, first, count, blockCount, slot(0),
                        first > 0 ? slot(options_.batchBlocks - 1) : nullptr);
}

void WriteRun::failMidRun(const std::string& message, const char* caption) {
  ui_.showMessage(message, caption);
  card_.release();
  file_.release();
  ui_.showProgressPanel(false);
  buffer_.release();
}

void WriteRun::warnShort(std::int32_t index) {
  ui_.showMessage(
      "unexpected shortness of image file at block " + std::to_string(index) + " , good luck",
      kShortImageCaption);
}

bool WriteRun::copyBlocks(std::int32_t blockCount, std::int32_t& written) {
  Progress progress(ui_, blockCount);
  while (written < blockCount) {
    const Batch batch = readBatch(written, options_.batchBlocks, blockCount);
    const std::int32_t last = batch.first + batch.blocks - 1;
    if (disk_.writeDevice(card_.device(), slot(0), std::size_t(batch.blocks) * kBlockSize)) {
      // The operator sees each block of the batch as if it had gone out alone;
      // after a short block the bar is brought up as if the count were
      // reached.
      for (std::int32_t i = batch.first; i <= last; ++i) {
        const bool shortBlock = batch.endsShort && i == last;
        if (shortBlock) warnShort(i);
        progress.after(shortBlock ? blockCount : i);
      }
    } else if (!writeBlockByBlock(batch, blockCount, progress)) {
      return false;
    }
    written += batch.blocks;
    if (batch.endsShort) break;
  }
  return true;
}

// A batch the card refused goes out again one block at a time from its first
// block, so that every block before the refused one is written and the
// refused block's own error is the one reported.
bool WriteRun::writeBlockByBlock(const Batch& batch, std::int32_t blockCount, Progress& progress) {
  if (!disk_.seekDevice(card_.device(), std::int64_t(batch.first) * std::int64_t(kBlockSize))) {
    failMidRun(systemErrorText("writing to MMC card.", disk_.lastError()), kCardErrorCaption);
    return false;
  }
  for (std::int32_t k = 0; k < batch.blocks; ++k) {
    const bool shortBlock = batch.endsShort && k == batch.blocks - 1;
    if (shortBlock) warnShort(batch.first + k);
    if (!disk_.writeDevice(card_.device(), slot(k), kBlockSize)) {
      failMidRun(systemErrorText("writing to MMC card.", disk_.lastError()), kCardErrorCaption);
      return false;
    }
    progress.after(shortBlock ? blockCount : batch.first + k);
  }
  return true;
}

bool WriteRun::verifyBlocks(std::int32_t blockCount, std::int32_t written) {
  if (!disk_.seekDevice(card_.device(), 0)) {
    failMidRun(systemErrorText("reading MMC card.", disk_.lastError()), kCardErrorCaption);
    return false;
  }
  if (!disk_.seekImage(file_.get(), kHeaderSize)) {
    failMidRun("image file does not open", kErrorCaption);
    return false;
  }
  Progress progress(ui_, written);
  std::int32_t checked = 0;
  while (checked < written) {
    // The same batches again, completed the same way, so that the short block
    // is compared as it was written.
    const Batch batch =
        readBatch(checked, std::min(options_.batchBlocks, written - checked), blockCount);
    const std::size_t bytes = std::size_t(batch.blocks) * kBlockSize;
    if (!disk_.readDevice(card_.device(), readBack(), bytes)) {
      failMidRun(systemErrorText("reading MMC card.", disk_.lastError()), kCardErrorCaption);
      return false;
    }
    for (std::int32_t k = 0; k < batch.blocks; ++k) {
      if (std::memcmp(slot(k), readBack() + std::size_t(k) * kBlockSize, kBlockSize) != 0) {
        failMidRun("verify failed at block " + std::to_string(batch.first + k), kCardErrorCaption);
        return false;
      }
      progress.after(batch.first + k);
    }
    checked += batch.blocks;
  }
  return true;
}

}  // namespace

bool runWriteOperation(DiskServices& disk, OperatorUi& ui, const WriteOptions& options) {
  Card card = openCardDevice(disk, ui);
  return card && writeImage(disk, ui, std::move(card), options);
}

bool writeImage(DiskServices& disk, OperatorUi& ui, Card card, const WriteOptions& options) {
  return WriteRun(disk, ui, std::move(card), options).run();
}

bool writeImage(DiskServices& disk, OperatorUi& ui, CardDevice device,
                const WriteOptions& options) {
  DriveGeometry geometry;
  return writeImage(disk, ui, Card(std::move(device), {}, {}, geometry), options);
}

}  // namespace card
