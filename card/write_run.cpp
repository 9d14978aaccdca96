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

  // The run's outcome, with how many blocks the card took.
  Outcome run() {
    Outcome outcome = steps();
    outcome.blocksWritten = sent_;
    return outcome;
  }

 private:
  Outcome steps();
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
  // Blocks the card has taken, from block 0 on.
  std::int64_t sent_ = 0;
};

Outcome WriteRun::steps() {
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
  if (!header.accepted) return aboutFile(frame_.refuse(header.failure), About::ImageFile);
  blockCount_ = header.blockCount;
  const std::string status = blockCountText(blockCount_);
  frame_.keepStatus(status);
  ui_.setStatus(status);
  ui_.processEvents();

  if (auto refusal = frame_.refuseImageLargerThanCard(blockCount_)) return *refusal;
  if (auto refusal = frame_.card().lockVolumes(ui_, frame_.options().lock, status,
                                               "stopped at block 0, nothing written"))
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
  // and the card holds the image all the same; its layout is then read
  // afresh as the card is released.
  const bool ejected = eject_ && frame_.card().eject(ui_, frame_.options().lock);
  Outcome done = frame_.finish("done");
  done.cardEjected = ejected;
  return done;
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
    if (!frame_.writeCard(first, whole, frame_.imageSlot(0), [&](std::int32_t k) {
          sent_ = first + k + 1;
          progress.after(first + k);
        }))
      return frame_.failCardWrite();
    written += whole;
    if (batch.readFailed) return frame_.failImageRead(written);
    if (batch.endsShort) {
      warnShortImage(ui_, written);
      if (!frame_.writeCard(written, 1, frame_.imageSlot(whole), [&](std::int32_t) {
            sent_ = written + 1;
            progress.after(progressIndex(first, true));
          }))
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
    return aboutFile(frame_.fail(Ending::Failed, "image file does not open", kErrorCaption, 0, -1),
                     About::ImageFile);
  RunFrame::Comparison comparison;
  comparison.blockCount = blockCount_;
  comparison.blocks = written;
  comparison.differs = "verify failed at block ";
  return frame_.compareWithImage(comparison);
}

// A write refused before its card was open: the card took nothing.
Outcome unwritten(Outcome refusal) {
  refusal.blocksWritten = 0;
  return refusal;
}

}  // namespace

Outcome runWrite(DiskServices& disk, OperatorUi& ui, const WriteOptions& options) {
  Outcome refusal;
  Card card = openCard(disk, ui, refusal, options.lock);
  if (!card) return unwritten(refusal);
  return runWrite(disk, ui, std::move(card), options);
}

Outcome runWrite(DiskServices& disk, OperatorUi& ui, Card card, const WriteOptions& options) {
  return WriteRun(disk, ui, std::move(card), options).run();
}

Outcome runWrite(DiskServices& disk, OperatorUi& ui, CardDevice device,
                 const WriteOptions& options) {
  Outcome refusal;
  Card card = cardOfDevice(disk.devices(), ui, std::move(device), refusal);
  if (!card) return unwritten(refusal);
  return runWrite(disk, ui, std::move(card), options);
}

}  // namespace card
