#include "write_operation.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "card_device.h"
#include "image_file.h"
#include "messages.h"

namespace card {
namespace {

// The bar's position after block `index` of `count`; 64-bit so that large
// images cannot wrap, and kept within the bar's range.
int progressPosition(std::int32_t index, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int64_t position = std::int64_t{index} * 100 / count;
  return position < 0 ? 0 : position > 100 ? 100 : static_cast<int>(position);
}

}  // namespace

void runWriteOperation(DiskServices& disk, OperatorUi& ui, const WriteOptions& options) {
  CardDevice device = openCardDevice(disk, ui);
  if (device) writeImage(disk, ui, std::move(device), options);
}

void writeImage(DiskServices& disk, OperatorUi& ui, CardDevice device, const WriteOptions&) {

  if (ui.chosenFileName().empty() && !ui.askForFile()) {
    ui.showMessage("no image file selected", kErrorCaption);
    device.release();
    return;
  }
  NativeHandle fileHandle = 0;
  if (!disk.openImage(ui.chosenFileName(), fileHandle)) {
    ui.showMessage("image file does not open", kErrorCaption);
    device.release();
    return;
  }
  ImageFile file(disk, fileHandle);

  ui.repaintWindow();
  ui.setProgress(0);
  const HeaderCheck header = readHeader(file);
  if (!header.accepted) {
    ui.showMessage(header.failure, kErrorCaption);
    file.release();
    device.release();
    return;
  }
  const std::int32_t blockCount = header.blockCount;
  ui.setStatus(blockCountText(blockCount));
  ui.processEvents();

  void* bufferMemory = disk.allocateBuffer(kBlockSize);
  if (bufferMemory == nullptr) {
    ui.showMessage("not enough memory for the block buffer", kErrorCaption);
    file.release();
    device.release();
    return;
  }
  BlockBuffer buffer(disk, bufferMemory);
  // A short first block has no earlier block to borrow a tail from: zeros.
  std::memset(buffer.get(), 0, kBlockSize);

  // Progress moves when the block index enters a new hundred; the first
  // update comes at block 100.
  std::int32_t lastBucket = 0;
  for (std::int32_t i = 0; i < blockCount; ++i) {
    const std::size_t arrived = readBlock(file, buffer.get());
    const bool shortRead = arrived < kBlockSize;
    if (shortRead) {
      // The rest of the block keeps the tail of the block before it.
      ui.showMessage("unexpected shortness of image file at block " + std::to_string(i) +
                         " , good luck",
                     kShortImageCaption);
    }
    if (!disk.writeDevice(device.get(), buffer.get(), kBlockSize)) {
      const std::uint32_t error = disk.lastError();
      ui.showMessage("error " + std::to_string(static_cast<std::int32_t>(error)) +
                         " writing to MMC card.",
                     kCardErrorCaption);
      device.release();
      file.release();
      ui.showProgressPanel(false);
      buffer.release();
      return;
    }
    // After a short block the bar is brought up as if the count were
    // reached, and the loop ends.
    if (shortRead) i = blockCount;
    if (i / 100 != lastBucket) {
      ui.setProgress(progressPosition(i, blockCount));
      lastBucket = i / 100;
      ui.showProgressPanel(true);
      ui.repaintProgress();
      ui.processEvents();
    }
    if (shortRead) break;
  }

  buffer.release();
  ui.showProgressPanel(false);
  file.release();
  device.release();
  ui.showMessage("done", kDoneCaption);
}

}  // namespace card
