// What every run shares: its options, what it holds (the card, the image
// file, the backup file, the block buffer) and the fixed order in which it
// lets them go, the card's transfers in batches, and the one comparison of
// the card with an image that the write's read-back, the compare and the
// backup's second pass all make.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/image_file.h"
#include "card/messages.h"
#include "card/operator_ui.h"
#include "card/outcome.h"
#include "card/owned.h"
#include "card/progress.h"

namespace card {

// Blocks per transfer: 2048 (1 MiB) lets the card program its flash in large
// units; 1 is the old one-block-per-call pace.
constexpr std::int32_t kDefaultBatchBlocks = 2048;

struct RunOptions {
  std::int32_t batchBlocks = kDefaultBatchBlocks;
  // How long a busy volume of the card is waited for.
  LockPatience lock;
};

// The backup file under its temporary name: open while it is written, then
// closed, and removed on every path that does not put it in its place.
class BackupFile {
 public:
  BackupFile() = default;
  BackupFile(const BackupFile&) = delete;
  BackupFile& operator=(const BackupFile&) = delete;
  ~BackupFile() { release(); }

  bool create(ImageFiles& files, const std::string& path);
  bool write(const void* data, std::size_t size) {
    return files_->writeBackup(handle_, data, size);
  }
  // Flushed and closed; it stays on the disk under its temporary name.
  bool finish();
  // Put in the place of `path`, replacing a file of that name in one step.
  bool place(const std::string& path);
  const std::string& temporaryPath() const { return temporary_; }
  void release();

 private:
  ImageFiles* files_ = nullptr;
  NativeHandle handle_ = 0;
  bool open_ = false;
  std::string temporary_;
};

// The warning for the image's short block, shown before that block goes out
// (or is compared).
void warnShortImage(OperatorUi& ui, std::int32_t index);

class RunFrame {
 public:
  // `stopWords` follow "stopped at block N" when the operator stops the run.
  RunFrame(DiskServices& disk, OperatorUi& ui, Card card, const RunOptions& options,
           const char* stopWords);

  CardDevices& devices() const { return devices_; }
  ImageFiles& files() const { return files_; }
  OperatorUi& ui() const { return ui_; }
  Card& card() { return card_; }
  ImageFile& image() { return image_; }
  BackupFile& backup() { return backup_; }
  std::int32_t batchBlocks() const { return batchBlocks_; }
  const RunOptions& options() const { return options_; }

  // The count text the status label keeps once the run is over.
  void keepStatus(std::string text) { status_ = std::move(text); }
  const std::string& status() const { return status_; }

  // A refusal before anything was written: the message first, then the
  // image file, the card and the backup file released.
  Outcome refuse(const std::string& text, const char* caption = kErrorCaption,
                 std::uint32_t systemError = 0);
  // The same after a step that showed its own refusal.
  Outcome refused(Outcome shown);
  // A failure part-way (or a stop): the message first, then the card, the
  // image file, the backup file, the progress panel and the buffer.
  Outcome fail(Ending ending, const std::string& text, const char* caption,
               std::uint32_t systemError, std::int64_t block);
  Outcome failCardRead() {
    return fail(Ending::Failed, systemErrorText("reading MMC card.", error_), kCardErrorCaption,
                error_, errorBlock_);
  }
  Outcome failCardWrite() {
    return fail(Ending::Failed, systemErrorText("writing to MMC card.", error_), kCardErrorCaption,
                error_, errorBlock_);
  }
  Outcome failImageRead(std::int64_t block) {
    return aboutFile(fail(Ending::Failed, "image file read error at block " + std::to_string(block),
                          kErrorCaption, 0, block),
                     About::ImageFile);
  }
  Outcome stop(std::int64_t block) {
    return fail(Ending::Stopped, "stopped at block " + std::to_string(block) + stopWords_,
                kCardErrorCaption, 0, block);
  }
  // The end of a run that did what it was asked: the buffer and the
  // progress panel go first (releaseBlocks), then the image file and the
  // card, then the closing message.
  void releaseBlocks();
  Outcome finish(const std::string& text);

  // Opens the chosen image file, after asking for one when none is chosen.
  // Refused: "no image file selected", "image file does not open".
  std::optional<Outcome> openChosenImage();
  // An image larger than the card would only show when the card refuses a
  // block, half written: it is refused before anything is written.
  std::optional<Outcome> refuseImageLargerThanCard(std::int32_t blockCount);

  // One allocation for the run: a batch of the image's blocks, then a batch
  // of the card's, zero. False, with the run refused, when there is none.
  bool allocate(Outcome& refusal);
  unsigned char* imageSlot(std::int32_t index) const {
    return static_cast<unsigned char*>(buffer_.get()) + std::size_t(index) * kBlockSize;
  }
  unsigned char* cardSlot(std::int32_t index) const { return imageSlot(batchBlocks_ + index); }

  // Up to `count` blocks of the image from block `first` on into the image
  // slots, completed as a write completes them.
  Batch readImage(std::int32_t first, std::int32_t count, std::int32_t blockCount);

  // Moves the card's position to block `block`.
  bool seekCard(std::int64_t block);
  // Reads `count` blocks from block `first` on, where the card's position
  // is. A failed read is tried again in smaller reads (a reader may refuse a
  // transfer of that size) before it counts; false when a block fails on its
  // own, and failCardRead() then names its error.
  bool readCard(std::int64_t first, std::int32_t count, unsigned char* into);
  // The same for writes; `written(k)` is called after block `first + k`
  // has gone out.
  template <typename Written>
  bool writeCard(std::int64_t first, std::int32_t count, const unsigned char* from,
                 Written written);

  // The card from block 0 on against the image in the image slots' way.
  struct Comparison {
    std::int32_t blockCount = 0;   // the image's: the bar's scale, where the image ends
    std::int32_t blocks = 0;       // how many blocks from block 0 are compared
    const char* differs = "";      // followed by the block that differs
    bool warnShort = false;        // the image's short block is announced as a write does
    bool fileMustBeWhole = false;  // a short file is a read error, not a short image
  };
  // Empty when the card holds the image; otherwise the run has ended.
  std::optional<Outcome> compareWithImage(const Comparison& comparison);

 private:
  Outcome withStatus(Outcome outcome) const {
    outcome.status = status_;
    return outcome;
  }
  void noteError(std::int64_t block) {
    error_ = devices_.lastError();
    errorBlock_ = block;
  }

  CardDevices& devices_;
  ImageFiles& files_;
  OperatorUi& ui_;
  Card card_;
  RunOptions options_;
  const char* stopWords_;
  std::int32_t batchBlocks_;
  // The largest transfer the card has taken since it refused a larger one.
  std::int32_t readLimit_;
  std::int32_t writeLimit_;
  ImageFile image_;
  BackupFile backup_;
  BlockBuffer buffer_;
  std::string status_;
  std::uint32_t error_ = 0;
  std::int64_t errorBlock_ = -1;
};

template <typename Written>
bool RunFrame::writeCard(std::int64_t first, std::int32_t count, const unsigned char* from,
                         Written written) {
  std::int32_t done = 0;
  while (done < count) {
    const std::int32_t blocks = std::min(writeLimit_, count - done);
    const unsigned char* data = from + std::size_t(done) * kBlockSize;
    if (devices_.writeDevice(card_.device(), data, std::size_t(blocks) * kBlockSize)) {
      for (std::int32_t k = 0; k < blocks; ++k) written(done + k);
      done += blocks;
      continue;
    }
    noteError(first + done);
    if (blocks == 1) return false;
    // The card may have refused the transfer's size rather than a block:
    // the same blocks again in halves, from where this write began.
    writeLimit_ = blocks / 2;
    if (!seekCard(first + done)) return false;
  }
  return true;
}

}  // namespace card
