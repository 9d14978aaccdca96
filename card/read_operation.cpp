#include "card/read_operation.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "card/image_file.h"
#include "card/messages.h"
#include "card/progress.h"

namespace card {
namespace {

constexpr const char* kCardReadFailed = "reading MMC card.";
constexpr const char* kTargetWriteFailed = "writing image file.";

// The backup under its temporary name: open while it is written, then closed,
// and removed on every path that does not put it in the target's place.
class TargetFile {
 public:
  explicit TargetFile(DiskServices& disk) : disk_(disk) {}
  TargetFile(const TargetFile&) = delete;
  TargetFile& operator=(const TargetFile&) = delete;
  ~TargetFile() { release(); }

  bool create(const std::string& targetPath) {
    std::string temporary;
    NativeHandle handle = 0;
    if (!disk_.createTarget(targetPath, temporary, handle)) return false;
    temporary_ = std::move(temporary);
    handle_ = handle;
    open_ = true;
    return true;
  }
  bool write(const void* data, std::size_t size) { return disk_.writeTarget(handle_, data, size); }
  // Flushed and closed; it stays on the disk under its temporary name.
  bool finish() {
    open_ = false;
    return disk_.finishTarget(handle_);
  }
  bool place(const std::string& targetPath) {
    if (!disk_.placeTarget(temporary_, targetPath)) return false;
    temporary_.clear();
    return true;
  }
  const std::string& temporaryPath() const { return temporary_; }

  void release() {
    if (open_) {
      open_ = false;
      disk_.closeTarget(handle_);
    }
    if (!temporary_.empty()) disk_.removeTarget(std::exchange(temporary_, std::string()));
  }

 private:
  DiskServices& disk_;
  NativeHandle handle_ = 0;
  bool open_ = false;
  std::string temporary_;
};

class ReadRun {
 public:
  ReadRun(DiskServices& disk, OperatorUi& ui, Card card, std::string targetPath,
          const ReadOptions& options)
      : disk_(disk),
        ui_(ui),
        card_(std::move(card)),
        targetPath_(std::move(targetPath)),
        options_(options),
        target_(disk) {
    if (options_.batchBlocks < 1) options_.batchBlocks = 1;
  }

  // True when the run ended with "done".
  bool run();

 private:
  bool copyCard(std::int32_t blockCount);
  bool compareWithTarget(std::int32_t blockCount);
  // A failure once the target exists: the message first, then everything
  // released, the temporary file removed and the panel hidden on the way.
  void failMidRun(const std::string& message, const char* caption);
  void failCardRead() {
    failMidRun(systemErrorText(kCardReadFailed, disk_.lastError()), kCardErrorCaption);
  }
  void failTargetWrite() {
    failMidRun(systemErrorText(kTargetWriteFailed, disk_.lastError()), kErrorCaption);
  }
  unsigned char* cardSlots() const { return static_cast<unsigned char*>(buffer_.get()); }
  unsigned char* fileSlots() const {
    return cardSlots() + std::size_t(options_.batchBlocks) * kBlockSize;
  }

  DiskServices& disk_;
  OperatorUi& ui_;
  Card card_;
  std::string targetPath_;
  ReadOptions options_;
  TargetFile target_;
  BlockBuffer buffer_;
  ImageFile written_;
};

bool ReadRun::run() {
  // Writing the backup onto the card being read would change what it holds,
  // and the card's volumes are about to be locked.
  if (card_.holdsFile(ui_, targetPath_)) {
    card_.release();
    return false;
  }
  // The header counts blocks in a signed 32-bit word.
  const std::int64_t cardBlocks = card_.blocks();
  if (cardBlocks > std::numeric_limits<std::int32_t>::max()) {
    ui_.showMessage(
        "card of " + std::to_string(cardBlocks) + " blocks is too large for an image file",
        kErrorCaption);
    card_.release();
    return false;
  }
  const std::int32_t blockCount = static_cast<std::int32_t>(cardBlocks);
  // Nothing may write to the card while it is read, or the backup would hold
  // a mixture of two states.
  if (!card_.lockVolume(ui_, options_.lock)) {
    card_.release();
    return false;
  }
  if (!target_.create(targetPath_)) {
    ui_.showMessage(systemErrorText(kTargetWriteFailed, disk_.lastError()), kErrorCaption);
    card_.release();
    return false;
  }

  ui_.repaintWindow();
  ui_.setProgress(0);
  const std::string status = std::to_string(blockCount) + " block card";
  ui_.setStatus(status + " - reading");
  ui_.processEvents();

  // One allocation for the run: a batch of blocks from the card, then, on the
  // second pass, the same blocks as the file holds them.
  const std::size_t batchBytes = std::size_t(options_.batchBlocks) * kBlockSize;
  void* memory = disk_.allocateBuffer(2 * batchBytes);
  if (memory == nullptr) {
    ui_.showMessage("not enough memory for the block buffer", kErrorCaption);
    card_.release();
    target_.release();
    return false;
  }
  buffer_ = BlockBuffer(disk_, memory);

  if (!copyCard(blockCount)) return false;
  if (!target_.finish()) {
    failTargetWrite();
    return false;
  }
  ui_.setStatus(status + " - verifying");
  ui_.setProgress(0);
  ui_.repaintProgress();
  ui_.processEvents();
  if (!compareWithTarget(blockCount)) return false;
  ui_.setStatus(status);

  buffer_.release();
  ui_.showProgressPanel(false);
  if (!target_.place(targetPath_)) {
    ui_.showMessage(systemErrorText(kTargetWriteFailed, disk_.lastError()), kErrorCaption);
    card_.release();
    target_.release();
    return false;
  }
  card_.release();
  ui_.showMessage("done", kDoneCaption);
  return true;
}

void ReadRun::failMidRun(const std::string& message, const char* caption) {
  ui_.showMessage(message, caption);
  card_.release();
  written_.release();
  target_.release();
  ui_.showProgressPanel(false);
  buffer_.release();
}

bool ReadRun::copyCard(std::int32_t blockCount) {
  const std::array<unsigned char, 8> header = imageHeader(blockCount);
  if (!target_.write(header.data(), header.size())) {
    failTargetWrite();
    return false;
  }
  if (!disk_.seekDevice(card_.device(), 0)) {
    failCardRead();
    return false;
  }
  Progress progress(ui_, blockCount);
  for (std::int32_t first = 0; first < blockCount;) {
    const std::int32_t blocks = std::min(options_.batchBlocks, blockCount - first);
    const std::size_t bytes = std::size_t(blocks) * kBlockSize;
    if (!disk_.readDevice(card_.device(), cardSlots(), bytes)) {
      failCardRead();
      return false;
    }
    if (!target_.write(cardSlots(), bytes)) {
      failTargetWrite();
      return false;
    }
    for (std::int32_t k = 0; k < blocks; ++k) progress.after(first + k);
    first += blocks;
  }
  return true;
}

// The card read once more and compared with the file as it reads back from
// the disk: a card that does not read the same twice, or a file that does not
// hold what was written, is never kept as the backup.
bool ReadRun::compareWithTarget(std::int32_t blockCount) {
  NativeHandle handle = 0;
  if (!disk_.openImage(target_.temporaryPath(), handle)) {
    failTargetWrite();
    return false;
  }
  written_ = ImageFile(disk_, handle);
  const std::array<unsigned char, 8> header = imageHeader(blockCount);
  unsigned char headerRead[8];
  if (disk_.readImage(written_.get(), headerRead, sizeof headerRead) != sizeof headerRead ||
      std::memcmp(headerRead, header.data(), header.size()) != 0) {
    failMidRun("image file read error at block 0", kErrorCaption);
    return false;
  }
  if (!disk_.seekDevice(card_.device(), 0)) {
    failCardRead();
    return false;
  }
  Progress progress(ui_, blockCount);
  for (std::int32_t first = 0; first < blockCount;) {
    const std::int32_t blocks = std::min(options_.batchBlocks, blockCount - first);
    const std::size_t bytes = std::size_t(blocks) * kBlockSize;
    if (!disk_.readDevice(card_.device(), cardSlots(), bytes)) {
      failCardRead();
      return false;
    }
    const std::size_t arrived = disk_.readImage(written_.get(), fileSlots(), bytes);
    for (std::int32_t k = 0; k < blocks; ++k) {
      const std::size_t at = std::size_t(k) * kBlockSize;
      if (arrived < at + kBlockSize) {
        failMidRun("image file read error at block " + std::to_string(first + k), kErrorCaption);
        return false;
      }
      if (std::memcmp(cardSlots() + at, fileSlots() + at, kBlockSize) != 0) {
        failMidRun("card changed while it was read, at block " + std::to_string(first + k),
                   kCardErrorCaption);
        return false;
      }
      progress.after(first + k);
    }
    first += blocks;
  }
  written_.release();
  return true;
}

}  // namespace

bool runReadOperation(DiskServices& disk, OperatorUi& ui, const std::string& targetPath,
                      const ReadOptions& options) {
  Card card = openCardDevice(disk, ui);
  return card && readCard(disk, ui, std::move(card), targetPath, options);
}

bool readCard(DiskServices& disk, OperatorUi& ui, Card card, const std::string& targetPath,
              const ReadOptions& options) {
  return ReadRun(disk, ui, std::move(card), targetPath, options).run();
}

}  // namespace card
