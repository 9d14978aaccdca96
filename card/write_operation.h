// One run of the write: the card image file onto the card, block by block,
// ending with exactly one closing message.
#pragma once

#include "disk_services.h"
#include "operator_ui.h"
#include "owned.h"

namespace card {

struct WriteOptions {
  // Read the card back after the last block and compare.
  bool verify = true;
};

// The whole run, as the write button starts it: the card behind the drive
// field's letter, then the chosen image onto it.
void runWriteOperation(DiskServices& disk, OperatorUi& ui, const WriteOptions& options = {});

// The run after the card has been opened: the image file, its header and
// every block. Owns `device` from here on and releases it on every path.
void writeImage(DiskServices& disk, OperatorUi& ui, CardDevice device,
                const WriteOptions& options = {});

}  // namespace card
