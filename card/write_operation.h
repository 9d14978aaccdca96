// One run of the write: the card image file onto the card, block by block,
// ending with exactly one closing message.
#pragma once

#include "disk_services.h"
#include "operator_ui.h"

namespace card {

void runWriteOperation(DiskServices& disk, OperatorUi& ui);

}  // namespace card
