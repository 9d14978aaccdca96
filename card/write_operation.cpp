#include "card/write_operation.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "card/image_file.h"
#include "card/image_steps.h"
#include "card/messages.h"
#include "card/progress.h"

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
  bool copyBlocks(std::int32_t& written);
  bool flushCard();
  bool verifyBlocks(std::int32_t written);
  Batch readBatch(std::int32_t first, std::int32_t count);
  bool writeBlocks(std::int32_t first, std::int32_t fromSlot, std::int32_t count, bool shortBlock,
                   Progress& progress);
  // Where the bar goes after block `index`: after the short block, as if the
  // count were reached.
  std::int32_t progressIndex(std::int32_t index, bool shortBlock) const {
    return shortBlock ? blockCount_ : index;
  }
  unsigned char* slot(std::int32_t index) const {
    return static_cast<unsigned char*>(buffer_.get()) + std::size_t(index) * kBlockSize;
  }
  unsigned char* readBack() const { return slot(options_.batchBlocks); }
  // A failure in the middle of the copy: the message first, then everything
  // released, the panel hidden on the way.
  void failMidRun(const std::string& message, const char* caption);
  void failToRead(std::int32_t block) {
    failMidRun("image file read error at block " + std::to_string(block), kErrorCaption);
  }

  DiskServices& disk_;
  OperatorUi& ui_;
  Card card_;
  WriteOptions options_;
  ImageFile file_;
  BlockBuffer buffer_;
  std::int32_t blockCount_ = 0;
};

bool WriteRun::run() {
  // A card whose lock switch is on would fail at its first block, with an
  // error code that does not say why.
  if (card_.refusesWrites(ui_)) {
    card_.release();
    return false;
  }
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
  blockCount_ = header.blockCount;
  const std::string status = blockCountText(blockCount_);
  ui_.setStatus(status);
  ui_.processEvents();

  if (!imageFitsOnCard(ui_, card_, file_, blockCount_)) return false;
  if (!card_.lockVolume(ui_, options_.lock, status)) {
    file_.release();
    card_.release();
    return false;
  }

  // One allocation for the run: a batch of blocks going out, then the blocks
  // read back. Every byte is read into before it is used (a short first
  // block is completed with zeros where it is read), so it is not cleared.
  const std::size_t batchBytes = std::size_t(options_.batchBlocks) * kBlockSize;
  void* memory = disk_.allocateBuffer(2 * batchBytes);
  if (memory == nullptr) {
    ui_.showMessage("not enough memory for the block buffer", kErrorCaption);
    file_.release();
    card_.release();
    return false;
  }
  buffer_ = BlockBuffer(disk_, memory);

  std::int32_t written = 0;
  if (!copyBlocks(written)) return false;
  if (written > 0 && !flushCard()) return false;
  if (options_.verify && written > 0) {
    ui_.setStatus(status + " - verifying");
    ui_.setProgress(0);
    ui_.repaintProgress();
    ui_.processEvents();
    if (!verifyBlocks(written)) return false;
    ui_.setStatus(status);
  }

  buffer_.release();
  ui_.showProgressPanel(false);
  file_.release();
  // Out of the reader while its volumes are still locked: the system gets no
  // moment to mount the card afresh. A reader that cannot eject keeps it,
  // and the card holds the image all the same.
  if (options_.eject) disk_.ejectMedia(card_.device());
  card_.release();
  ui_.showMessage("done", kDoneCaption);
  return true;
}

bool WriteRun::openImage() {
  if (!openChosenImage(disk_, ui_, card_, file_)) return false;
  // An image on the card itself would be overwritten while it is read, and
  // its volume could never be locked: it must be copied off first.
  if (card_.holdsFile(ui_, ui_.chosenFileName())) {
    file_.release();
    card_.release();
    return false;
  }
  return true;
}

Batch WriteRun::readBatch(std::int32_t first, std::int32_t count) {
  // At a batch's start, the block before it is the last slot of the batch
  // before, which was full.
  return readImageBatch(file_, first, count, blockCount_, slot(0),
                        first > 0 ? slot(options_.batchBlocks - 1) : nullptr);
}

void WriteRun::failMidRun(const std::string& message, const char* caption) {
  ui_.showMessage(message, caption);
  card_.release();
  file_.release();
  ui_.showProgressPanel(false);
  buffer_.release();
}

// The operator sees the same as if every block went out alone: the blocks
// that arrived whole go out together, then the short-read warning, and only
// then the short block itself.
bool WriteRun::copyBlocks(std::int32_t& written) {
  Progress progress(ui_, blockCount_);
  while (written < blockCount_) {
    const Batch batch = readBatch(written, options_.batchBlocks);
    const std::int32_t whole = batch.endsShort ? batch.blocks - 1 : batch.blocks;
    if (!writeBlocks(written, 0, whole, false, progress)) return false;
    written += whole;
    if (batch.readFailed) {
      failToRead(written);
      return false;
    }
    if (batch.endsShort) {
      warnShortImage(ui_, written);
      if (!writeBlocks(written, whole, 1, true, progress)) return false;
      ++written;
      break;
    }
  }
  return true;
}

// Writes `count` blocks from slot `fromSlot` on, block `first` onwards, in
// one call. Blocks the card refused together go out again one at a time from
// the first, so that every block before the refused one is written and the
// refused block's own error is the one reported.
bool WriteRun::writeBlocks(std::int32_t first, std::int32_t fromSlot, std::int32_t count,
                           bool shortBlock, Progress& progress) {
  if (count <= 0) return true;
  const NativeHandle device = card_.device();
  if (disk_.writeDevice(device, slot(fromSlot), std::size_t(count) * kBlockSize)) {
    for (std::int32_t k = 0; k < count; ++k) progress.after(progressIndex(first + k, shortBlock));
    return true;
  }
  if (count > 1) {
    if (disk_.seekDevice(device, std::int64_t(first) * std::int64_t(kBlockSize))) {
      for (std::int32_t k = 0; k < count; ++k) {
        if (!disk_.writeDevice(device, slot(fromSlot + k), kBlockSize)) break;
        progress.after(progressIndex(first + k, shortBlock));
      }
    }
  }
  failMidRun(systemErrorText("writing to MMC card.", disk_.lastError()), kCardErrorCaption);
  return false;
}

// What was written may still sit in a cache on the way to the card: the
// read-back must read the card itself.
bool WriteRun::flushCard() {
  if (disk_.flushDevice(card_.device())) return true;
  failMidRun(systemErrorText("writing to MMC card.", disk_.lastError()), kCardErrorCaption);
  return false;
}

bool WriteRun::verifyBlocks(std::int32_t written) {
  if (!disk_.seekDevice(card_.device(), 0)) {
    failMidRun(systemErrorText("reading MMC card.", disk_.lastError()), kCardErrorCaption);
    return false;
  }
  if (!disk_.seekImage(file_.get(), kHeaderSize)) {
    failMidRun("image file does not open", kErrorCaption);
    return false;
  }
  // The bar goes through the same positions as while writing.
  Progress progress(ui_, blockCount_);
  std::int32_t checked = 0;
  while (checked < written) {
    // The same batches again, completed the same way, so that the short block
    // is compared as it was written.
    const Batch batch = readBatch(checked, std::min(options_.batchBlocks, written - checked));
    const std::size_t bytes = std::size_t(batch.blocks) * kBlockSize;
    if (batch.blocks > 0 && !disk_.readDevice(card_.device(), readBack(), bytes)) {
      failMidRun(systemErrorText("reading MMC card.", disk_.lastError()), kCardErrorCaption);
      return false;
    }
    for (std::int32_t k = 0; k < batch.blocks; ++k) {
      if (std::memcmp(slot(k), readBack() + std::size_t(k) * kBlockSize, kBlockSize) != 0) {
        failMidRun("verify failed at block " + std::to_string(batch.first + k), kCardErrorCaption);
        return false;
      }
      progress.after(progressIndex(batch.first + k, batch.endsShort && k == batch.blocks - 1));
    }
    checked += batch.blocks;
    if (batch.readFailed) {
      failToRead(checked);
      return false;
    }
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
  // A device that tells its sector size must have 512-byte sectors, as a
  // card behind a letter must.
  DriveGeometry geometry;
  if (device && disk.driveGeometry(device.get(), geometry)) {
    const std::string sectors = sectorSizeRefusal(geometry);
    if (!sectors.empty()) {
      ui.showMessage(sectors, kErrorCaption);
      device.release();
      return false;
    }
  } else {
    geometry = DriveGeometry{};
  }
  return writeImage(disk, ui, Card(std::move(device), {}, {}, geometry), options);
}

}  // namespace card
