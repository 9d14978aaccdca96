// One run of the backup: the card read into a new image file, then read a
// second time and compared with what was written, ending with exactly one
// closing message.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/operator_ui.h"

namespace card {

struct ReadOptions {
  // Blocks per read call.
  std::int32_t batchBlocks = 2048;
  // How long a busy volume of the card is waited for.
  LockPatience lock;
};

// Reads the card behind the drive field's letter into the image file
// `targetPath` (UTF-8). True when it ended with "done"; every outcome has been
// shown to the operator either way.
bool runReadOperation(DiskServices& disk, OperatorUi& ui, const std::string& targetPath,
                      const ReadOptions& options = {});

// The run after the card has been opened. Owns `card` from here on and
// releases it on every path.
bool readCard(DiskServices& disk, OperatorUi& ui, Card card, const std::string& targetPath,
              const ReadOptions& options = {});

}  // namespace card
