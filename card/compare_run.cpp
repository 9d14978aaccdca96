#include "card/compare_run.h"

#include <string>
#include <utility>

#include "card/image_file.h"

namespace card {

Outcome runCompare(DiskServices& disk, OperatorUi& ui, const CompareOptions& options) {
  Outcome refusal;
  Card card = openCard(disk, ui, refusal, options.lock, "stopped at block 0");
  if (!card) return refusal;
  return runCompare(disk, ui, std::move(card), options);
}

Outcome runCompare(DiskServices& disk, OperatorUi& ui, Card card, const CompareOptions& options) {
  RunFrame frame(disk, ui, std::move(card), options, "");
  if (auto refusal = frame.openChosenImage()) return *refusal;

  ui.repaintWindow();
  ui.setProgress(0);
  const HeaderCheck header = readHeader(frame.image());
  if (!header.accepted) return aboutFile(frame.refuse(header.failure), About::ImageFile);
  const std::int32_t blockCount = header.blockCount;
  const std::string status = blockCountText(blockCount);
  frame.keepStatus(status);
  ui.setStatus(status + " - comparing");
  ui.processEvents();

  // The write refuses an image larger than the card, so no card can hold one.
  if (auto refusal = frame.refuseImageLargerThanCard(blockCount)) return *refusal;
  Outcome refusal;
  if (!frame.allocate(refusal)) return refusal;

  RunFrame::Comparison comparison;
  comparison.blockCount = blockCount;
  comparison.blocks = blockCount;
  comparison.differs = "card differs from image at block ";
  comparison.warnShort = true;
  if (auto failure = frame.compareWithImage(comparison)) return *failure;
  ui.setStatus(status);

  frame.releaseBlocks();
  return frame.finish("card matches image");
}

}  // namespace card
