#include "card/image_steps.h"

#include <string>

#include "card/messages.h"

namespace card {

bool openChosenImage(DiskServices& disk, OperatorUi& ui, Card& card, ImageFile& file) {
  if (ui.chosenFileName().empty() && !ui.askForFile()) {
    ui.showMessage("no image file selected", kErrorCaption);
    card.release();
    return false;
  }
  NativeHandle handle = 0;
  if (!disk.openImage(ui.chosenFileName(), handle)) {
    ui.showMessage("image file does not open", kErrorCaption);
    card.release();
    return false;
  }
  file = ImageFile(disk, handle);
  return true;
}

bool imageFitsOnCard(OperatorUi& ui, Card& card, ImageFile& file, std::int32_t blockCount) {
  const std::int64_t cardBlocks = card.blocks();
  if (blockCount <= cardBlocks) return true;
  ui.showMessage("image of " + std::to_string(blockCount) + " blocks does not fit on card of " +
                     std::to_string(cardBlocks) + " blocks",
                 kErrorCaption);
  file.release();
  card.release();
  return false;
}

void warnShortImage(OperatorUi& ui, std::int32_t index) {
  ui.showMessage(
      "unexpected shortness of image file at block " + std::to_string(index) + " , good luck",
      kShortImageCaption);
}

}  // namespace card
