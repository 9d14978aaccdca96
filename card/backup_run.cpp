#include "card/backup_run.h"

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

constexpr const char* kBackupWriteFailed = "writing image file.";

class BackupRun {
 public:
  BackupRun(DiskServices& disk, OperatorUi& ui, Card card, std::string backupPath,
            const BackupOptions& options)
      : frame_(disk, ui, std::move(card), options, ", no backup was kept"),
        files_(disk.files()),
        ui_(ui),
        backupPath_(std::move(backupPath)) {}

  Outcome run();

 private:
  std::optional<Outcome> copyCard();
  std::optional<Outcome> compareWithBackup();
  Outcome failBackupWrite() {
    const std::uint32_t error = files_.lastError();
    return aboutFile(frame_.fail(Ending::Failed, systemErrorText(kBackupWriteFailed, error),
                                 kErrorCaption, error, -1),
                     About::BackupFile);
  }

  RunFrame frame_;
  ImageFiles& files_;
  OperatorUi& ui_;
  std::string backupPath_;
  std::int32_t blockCount_ = 0;
};

Outcome BackupRun::run() {
  // Writing the backup onto the card being read would change what it holds,
  // and the card's volumes are about to be locked.
  if (auto refusal = frame_.card().refuseFileOnCard(ui_, backupPath_))
    return frame_.refused(*refusal);
  // The header counts blocks in a signed 32-bit word.
  const std::int64_t cardBlocks = frame_.card().blocks();
  if (cardBlocks > std::numeric_limits<std::int32_t>::max())
    return frame_.refuse("card of " + std::to_string(cardBlocks) +
                         " blocks is too large for an image file");
  blockCount_ = static_cast<std::int32_t>(cardBlocks);
  // Nothing may write to the card while it is read, or the backup would hold
  // a mixture of two states.
  if (auto refusal = frame_.card().lockVolumes(ui_, frame_.options().lock, {},
                                               "stopped at block 0, no backup was kept"))
    return frame_.refused(*refusal);
  if (!frame_.backup().create(files_, backupPath_)) {
    const std::uint32_t error = files_.lastError();
    return aboutFile(
        frame_.refuse(systemErrorText(kBackupWriteFailed, error), kErrorCaption, error),
        About::BackupFile);
  }

  ui_.repaintWindow();
  ui_.setProgress(0);
  const std::string status = std::to_string(blockCount_) + " block card";
  frame_.keepStatus(status);
  ui_.setStatus(status + " - reading");
  ui_.processEvents();

  Outcome refusal;
  if (!frame_.allocate(refusal)) return refusal;

  if (auto failure = copyCard()) return *failure;
  if (!frame_.backup().finish()) return failBackupWrite();
  ui_.setStatus(status + " - verifying");
  ui_.setProgress(0);
  ui_.repaintProgress();
  ui_.processEvents();
  if (auto failure = compareWithBackup()) return *failure;
  ui_.setStatus(status);

  frame_.releaseBlocks();
  // The card was read whole and its file written: a file that cannot be put
  // in its place (a folder of that name in the way, a name the disk refuses)
  // fails the run, its cause the file's, never the card's.
  if (!frame_.backup().place(backupPath_)) {
    const std::uint32_t error = files_.lastError();
    return aboutFile(
        frame_.refused(shownOutcome(ui_, Ending::Failed, systemErrorText(kBackupWriteFailed, error),
                                    kErrorCaption, error)),
        About::BackupFile);
  }
  return frame_.finish("done");
}

std::optional<Outcome> BackupRun::copyCard() {
  const std::array<unsigned char, 8> header = imageHeader(blockCount_);
  if (!frame_.backup().write(header.data(), header.size())) return failBackupWrite();
  if (!frame_.seekCard(0)) return frame_.failCardRead();
  // The card is read a second time after this pass, as a whole.
  const std::int64_t bytes = std::int64_t{blockCount_} * std::int64_t(kBlockSize);
  ui_.passStarted(bytes, bytes);
  Progress progress(ui_, blockCount_);
  for (std::int32_t first = 0; first < blockCount_;) {
    if (ui_.stopRequested()) return frame_.stop(first);
    const std::int32_t blocks = std::min(frame_.batchBlocks(), blockCount_ - first);
    if (!frame_.readCard(first, blocks, frame_.cardSlot(0))) return frame_.failCardRead();
    if (!frame_.backup().write(frame_.cardSlot(0), std::size_t(blocks) * kBlockSize))
      return failBackupWrite();
    for (std::int32_t k = 0; k < blocks; ++k) progress.after(first + k);
    first += blocks;
  }
  ui_.passFinished();
  return std::nullopt;
}

// The card read once more and compared with the file as it reads back from
// the disk: a card that does not read the same twice, or a file that does not
// hold what was written, is never kept as the backup.
std::optional<Outcome> BackupRun::compareWithBackup() {
  NativeHandle handle = 0;
  if (!files_.openImage(frame_.backup().temporaryPath(), handle)) return failBackupWrite();
  frame_.image() = ImageFile(files_, handle);
  const std::array<unsigned char, 8> header = imageHeader(blockCount_);
  unsigned char headerRead[8];
  if (files_.readImage(handle, headerRead, sizeof headerRead) != sizeof headerRead ||
      std::memcmp(headerRead, header.data(), header.size()) != 0)
    return frame_.failImageRead(0);
  RunFrame::Comparison comparison;
  comparison.blockCount = blockCount_;
  comparison.blocks = blockCount_;
  comparison.differs = "card changed while it was read, at block ";
  comparison.fileMustBeWhole = true;
  if (auto failure = frame_.compareWithImage(comparison)) return failure;
  frame_.image().release();
  return std::nullopt;
}

}  // namespace

Outcome runBackup(DiskServices& disk, OperatorUi& ui, const std::string& backupPath,
                  const BackupOptions& options) {
  Outcome refusal;
  Card card = openCard(disk, ui, refusal, options.lock, "stopped at block 0, no backup was kept");
  if (!card) return refusal;
  return runBackup(disk, ui, std::move(card), backupPath, options);
}

Outcome runBackup(DiskServices& disk, OperatorUi& ui, Card card, const std::string& backupPath,
                  const BackupOptions& options) {
  return BackupRun(disk, ui, std::move(card), backupPath, options).run();
}

}  // namespace card
