#include "card/run_frame.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace card {

void warnShortImage(OperatorUi& ui, std::int32_t index) {
  ui.showMessage(
      "unexpected shortness of image file at block " + std::to_string(index) + " , good luck",
      kShortImageCaption);
}

bool BackupFile::create(ImageFiles& files, const std::string& path) {
  release();
  std::string temporary;
  NativeHandle handle = 0;
  if (!files.createBackup(path, temporary, handle)) return false;
  files_ = &files;
  temporary_ = std::move(temporary);
  handle_ = handle;
  open_ = true;
  return true;
}

bool BackupFile::finish() {
  open_ = false;
  return files_->finishBackup(handle_);
}

bool BackupFile::place(const std::string& path) {
  if (!files_->placeBackup(temporary_, path)) return false;
  temporary_.clear();
  return true;
}

void BackupFile::release() {
  if (open_) {
    open_ = false;
    files_->closeBackup(handle_);
  }
  if (!temporary_.empty()) files_->removeBackup(std::exchange(temporary_, std::string()));
}

RunFrame::RunFrame(DiskServices& disk, OperatorUi& ui, Card card, const RunOptions& options,
                   const char* stopWords)
    : devices_(disk.devices()),
      files_(disk.files()),
      ui_(ui),
      card_(std::move(card)),
      options_(options),
      stopWords_(stopWords),
      batchBlocks_(std::max<std::int32_t>(options.batchBlocks, 1)),
      readLimit_(batchBlocks_),
      writeLimit_(batchBlocks_) {}

Outcome RunFrame::refuse(const std::string& text, const char* caption, std::uint32_t systemError) {
  return refused(shownOutcome(ui_, Ending::Refused, text, caption, systemError));
}

Outcome RunFrame::refused(Outcome shown) {
  image_.release();
  card_.release();
  backup_.release();
  return withStatus(std::move(shown));
}

Outcome RunFrame::fail(Ending ending, const std::string& text, const char* caption,
                       std::uint32_t systemError, std::int64_t block) {
  Outcome outcome = shownOutcome(ui_, ending, text, caption, systemError, block);
  card_.release();
  image_.release();
  backup_.release();
  ui_.showProgressPanel(false);
  buffer_.release();
  return withStatus(std::move(outcome));
}

void RunFrame::releaseBlocks() {
  buffer_.release();
  ui_.showProgressPanel(false);
}

Outcome RunFrame::finish(const std::string& text) {
  image_.release();
  card_.release();
  return withStatus(shownOutcome(ui_, Ending::Done, text, kDoneCaption));
}

std::optional<Outcome> RunFrame::openChosenImage() {
  if (ui_.chosenFileName().empty() && !ui_.askForFile()) return refuse("no image file selected");
  NativeHandle handle = 0;
  if (!files_.openImage(ui_.chosenFileName(), handle)) {
    const std::uint32_t error = files_.lastError();
    return aboutFile(refuse("image file does not open", kErrorCaption, error), About::ImageFile);
  }
  image_ = ImageFile(files_, handle);
  return std::nullopt;
}

std::optional<Outcome> RunFrame::refuseImageLargerThanCard(std::int32_t blockCount) {
  const std::int64_t cardBlocks = card_.blocks();
  if (blockCount <= cardBlocks) return std::nullopt;
  return refuse("image of " + std::to_string(blockCount) + " blocks does not fit on card of " +
                std::to_string(cardBlocks) + " blocks");
}

bool RunFrame::allocate(Outcome& refusal) {
  const std::size_t bytes = 2 * std::size_t(batchBlocks_) * kBlockSize;
  void* memory = devices_.allocateBuffer(bytes);
  if (memory == nullptr) {
    refusal = refuse("not enough memory for the block buffer");
    return false;
  }
  // Every slot is read into before it is used, and the buffer comes zero
  // from the back-end all the same, so that no run can ever see another's
  // blocks. Clearing it here would touch every page of it, also the card's
  // slots that a write without read-back never uses.
  buffer_ = BlockBuffer(devices_, memory);
  return true;
}

Batch RunFrame::readImage(std::int32_t first, std::int32_t count, std::int32_t blockCount) {
  // At a batch's start, the block before it is the last slot of the batch
  // before, which was full.
  return readImageBatch(image_, first, count, blockCount, imageSlot(0),
                        first > 0 ? imageSlot(batchBlocks_ - 1) : nullptr);
}

bool RunFrame::seekCard(std::int64_t block) {
  if (devices_.seekDevice(card_.device(), block * std::int64_t(kBlockSize))) return true;
  noteError(block);
  return false;
}

bool RunFrame::readCard(std::int64_t first, std::int32_t count, unsigned char* into) {
  std::int32_t done = 0;
  while (done < count) {
    const std::int32_t blocks = std::min(readLimit_, count - done);
    if (devices_.readDevice(card_.device(), into + std::size_t(done) * kBlockSize,
                            std::size_t(blocks) * kBlockSize)) {
      done += blocks;
      continue;
    }
    noteError(first + done);
    if (blocks == 1) return false;
    // As for writes: the reader may not take a transfer of that size.
    readLimit_ = blocks / 2;
    if (!seekCard(first + done)) return false;
  }
  return true;
}

std::optional<Outcome> RunFrame::compareWithImage(const Comparison& c) {
  if (!seekCard(0)) return failCardRead();
  // The comparison is every run's last pass.
  ui_.passStarted(std::int64_t{c.blockCount} * std::int64_t(kBlockSize), 0);
  // The bar goes through the same positions as in the pass before.
  Progress progress(ui_, c.blockCount);
  for (std::int32_t first = 0; first < c.blocks;) {
    if (ui_.stopRequested()) return stop(first);
    // The image's blocks completed as the write completes them, so that a
    // short image is compared with what writing it put on the card.
    const Batch batch = readImage(first, std::min(batchBlocks_, c.blocks - first), c.blockCount);
    if (batch.blocks > 0 && !readCard(first, batch.blocks, cardSlot(0))) return failCardRead();
    const std::int32_t last = batch.first + batch.blocks - 1;
    for (std::int32_t i = batch.first; i <= last; ++i) {
      const std::size_t at = std::size_t(i - batch.first) * kBlockSize;
      const bool shortBlock = batch.endsShort && i == last;
      if (shortBlock && c.fileMustBeWhole) return failImageRead(i);
      if (shortBlock && c.warnShort) warnShortImage(ui_, i);
      if (std::memcmp(imageSlot(0) + at, cardSlot(0) + at, kBlockSize) != 0)
        return fail(Ending::Failed, c.differs + std::to_string(i), kCardErrorCaption, 0, i);
      progress.after(shortBlock ? c.blockCount : i);
    }
    // The blocks that arrived before a read error are compared first, so a
    // difference among them is named rather than the error.
    if (batch.readFailed) return failImageRead(batch.first + batch.blocks);
    if (batch.endsShort) break;
    first += batch.blocks;
  }
  ui_.passFinished();
  return std::nullopt;
}

}  // namespace card
