// The write: the card image file onto the card, then read back and compared,
// ending with exactly one closing message.
#pragma once

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/operator_ui.h"
#include "card/outcome.h"
#include "card/run_frame.h"

namespace card {

struct WriteOptions : RunOptions {
  // Read the card back after the last block and compare it with the image.
  bool verify = true;
  // Once the card is written and read back, eject it from its reader before
  // its volumes are unlocked, so that the system neither offers to format a
  // card whose layout it cannot read nor writes its own files onto one it
  // can. The reader stays; where the system has no eject, nothing happens.
  bool eject = true;
};

// The whole write, as the write button starts it: the card behind the drive
// field's text, then the chosen image onto it. Every outcome has been shown
// to the operator when it returns.
Outcome runWrite(DiskServices& disk, OperatorUi& ui, const WriteOptions& options = {});

// The write onto a card already opened. Owns `card` from here on and
// releases it on every path.
Outcome runWrite(DiskServices& disk, OperatorUi& ui, Card card, const WriteOptions& options = {});

// The same for a device opened by its path rather than a drive letter (a
// block device on Linux): no volume to lock; its size is asked of the device
// itself, and a device that tells its sector size must have 512-byte sectors.
Outcome runWrite(DiskServices& disk, OperatorUi& ui, CardDevice device,
                 const WriteOptions& options = {});

}  // namespace card
