#include "card/write_run.h"

#include <algorithm>
#include <string>

#include "card/image_file.h"
#include "card/messages.h"
#include "card/progress.h"
#include "card/run_frame.h"

namespace card {
namespace {

class WriteRun {
 public:
  WriteRun(DiskServices& disk, OperatorUi& ui, Card card, const WriteOptions& options)
      : frame_(disk, ui, std::move(card), options, ", the card does not hold the image"),
        ui_(ui),
        verify_(options.verify),
        eject_(options.eject) {}

  Outcome run();

 private:
  std::optional<Outcome> copyBlocks(std::int32_t& written);
  std::optional<Outcome> verifyBlocks(std::int32_t written);
  // Where the bar goes after block `index`: after the short block, as if the
  // count were reached.
  std::int32_t progressIndex(std::int32_t index, bool shortBlock) const {
    return shortBlock ? blockCount_ : index;
  }

  RunFrame frame_;
  OperatorUi& ui_;
  bool verify_;
  bool eject_;
  std::int32_t blockCount_ = 0;
};

Outcome WriteRun::run() {
  // A card whose lock switch is on would fail at its first block, with an
  // error code that does not say why.
  if (auto refusal = frame_.card().refuseWriteProtected(ui_)) return frame_.refused(*refusal);
  if (auto refusal = frame_.openChosenImage()) return *refusal;
  // An image on the card itself would be overwritten while it is read, and
  // its volume could never be locked: it must be copied off first.
  if (auto refusal = frame_.card().refuseFileOnCard(ui_, ui_.chosenFileName()))
    return frame_.refused(*refusal);

  ui_.repaintWindow();
  ui_.setProgress(0);
  const HeaderCheck header = readHeader(frame_.image());
  if (!header.accepted) return frame_.refuse(header.failure);
  blockCount_ = header.blockCount;
  const std::string status = blockCountText(blockCount_);
  frame_.keepStatus(status);
  ui_.setStatus(status);
  ui_.processEvents();

  if (auto refusal = frame_.refuseImageLargerThanCard(blockCount_)) return *refusal;
  if (auto refusal = frame_.card().lockVolumes(ui_, frame_.options().lock, status))
    return frame_.refused(*refusal);
  Outcome refusal;
  if (!frame_.allocate(refusal)) return refusal;

  std::int32_t written = 0;
  if (auto failure = copyBlocks(written)) return *failure;
  // What was written may still sit in a cache on the way to the card: the
  // read-back must read the card itself.
  if (written > 0 && !frame_.devices().flushDevice(frame_.card().device())) {
    const std::uint32_t error = frame_.devices().lastError();
    return frame_.fail(Ending::Failed, systemErrorText("writing to MMC card.", error),
                       kCardErrorCaption, error, -1);
  }
  if (verify_ && written > 0) {
    ui_.setStatus(status + " - verifying");
    ui_.setProgress(0);
    ui_.repaintProgress();
    ui_.processEvents();
    if (auto failure = verifyBlocks(written)) return *failure;
    ui_.setStatus(status);
  }

  frame_.releaseBlocks();
  // Out of the reader while its volumes are still locked: the system gets no
  // moment to mount the card afresh. A reader that cannot eject keeps it,
  // and the card holds the image all the same.
  if (eject_) frame_.devices().ejectMedia(frame_.card().device());
  return frame_.finish("done");
}

// The operator sees the same as if every block went out alone: the blocks
// that arrived whole go out together, then the short-read warning, and only
// then the short block itself.
std::optional<Outcome> WriteRun::copyBlocks(std::int32_t& written) {
  const std::int64_t bytes = std::int64_t{blockCount_} * std::int64_t(kBlockSize);
  ui_.passStarted(bytes, verify_ ? bytes : 0);
  Progress progress(ui_, blockCount_);
  while (written < blockCount_) {
    if (ui_.stopRequested()) return frame_.stop(written);
    const Batch batch = frame_.readImage(written, frame_.batchBlocks(), blockCount_);
    const std::int32_t whole = batch.endsShort ? batch.blocks - 1 : batch.blocks;
    const std::int32_t first = written;
    if (!frame_.writeCard(first, whole, frame_.imageSlot(0),
                          [&](std::int32_t k) { progress.after(first + k); }))
      return frame_.failCardWrite();
    written += whole;
    if (batch.readFailed) return frame_.failImageRead(written);
    if (batch.endsShort) {
      warnShortImage(ui_, written);
      if (!frame_.writeCard(written, 1, frame_.imageSlot(whole),
                            [&](std::int32_t) { progress.after(progressIndex(first, true)); }))
        return frame_.failCardWrite();
      ++written;
      break;
    }
  }
  ui_.passFinished();
  return std::nullopt;
}

std::optional<Outcome> WriteRun::verifyBlocks(std::int32_t written) {
  if (!frame_.files().seekImage(frame_.image().get(), kHeaderSize))
    return frame_.fail(Ending::Failed, "image file does not open", kErrorCaption, 0, -1);
  RunFrame::Comparison comparison;
  comparison.blockCount = blockCount_;
  comparison.blocks = written;
  comparison.differs = "verify failed at block ";
  return frame_.compareWithImage(comparison);
}

}  // namespace

Outcome runWrite(DiskServices& disk, OperatorUi& ui, const WriteOptions& options) {
  Outcome refusal;
  Card card = openCard(disk, ui, refusal);
  if (!card) return refusal;
  return runWrite(disk, ui, std::move(card), options);
}

Outcome runWrite(DiskServices& disk, OperatorUi& ui, Card card, const WriteOptions& options) {
  return WriteRun(disk, ui, std::move(card), options).run();
}

Outcome runWrite(DiskServices& disk, OperatorUi& ui, CardDevice device,
                 const WriteOptions& options) {
  Outcome refusal;
  Card card = cardOfDevice(disk.devices(), ui, std::move(device), refusal);
  if (!card) return refusal;
  return runWrite(disk, ui, std::move(card), options);
}

}  // namespace card
