// One run of the check: the card read back and compared with the card image
// file it should hold, nothing written, ending with exactly one closing
// message.
#pragma once

#include <cstdint>

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/operator_ui.h"

namespace card {

struct CompareOptions {
  // Blocks per read call.
  std::int32_t batchBlocks = 2048;
};

// Compares the card behind the drive field's letter with the chosen image
// file, asking for one as the write does. True when it ended with "card
// matches image"; every outcome has been shown to the operator either way.
bool runCompareOperation(DiskServices& disk, OperatorUi& ui, const CompareOptions& options = {});

// The run after the card has been opened. Owns `card` from here on and
// releases it on every path.
bool compareCard(DiskServices& disk, OperatorUi& ui, Card card, const CompareOptions& options = {});

}  // namespace card
