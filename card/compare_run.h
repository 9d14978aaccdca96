// The compare: the card read back and compared with the card image file it
// should hold, nothing written, ending with exactly one closing message.
#pragma once

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/operator_ui.h"
#include "card/outcome.h"
#include "card/run_frame.h"

namespace card {

using CompareOptions = RunOptions;

// Compares the card behind the drive field's text with the chosen image
// file, asking for one as the write does. Every outcome has been shown to
// the operator when it returns; it is done when the card matches.
Outcome runCompare(DiskServices& disk, OperatorUi& ui, const CompareOptions& options = {});

// The compare of a card already opened. Owns `card` from here on and
// releases it on every path.
Outcome runCompare(DiskServices& disk, OperatorUi& ui, Card card,
                   const CompareOptions& options = {});

}  // namespace card
