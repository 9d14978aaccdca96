// One run of the write: the card image file onto the card, then read back
// and compared, ending with exactly one closing message.
#pragma once

#include <chrono>
#include <cstdint>

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/operator_ui.h"

namespace card {

struct WriteOptions {
  // Read the card back after the last block and compare it with the image.
  bool verify = true;
  // Blocks per write call: 2048 (1 MiB) lets the card program its flash in
  // large units; 1 is the old one-block-per-write pace.
  std::int32_t batchBlocks = 2048;
  // How long a busy volume of the card is waited for.
  LockPatience lock;
  // Once the card is written and read back, eject it from its reader before
  // its volumes are unlocked, so that the system neither offers to format a
  // card whose layout it cannot read nor writes its own files onto one it
  // can. The reader stays; where the system has no eject, nothing happens.
  bool eject = true;
};

// The whole run, as the write button starts it: the card behind the drive
// field's letter, then the chosen image onto it. True when it ended with
// "done"; every outcome has been shown to the operator either way.
bool runWriteOperation(DiskServices& disk, OperatorUi& ui, const WriteOptions& options = {});

// The run after the card has been opened: the image file, its header, every
// block and the read-back. Owns `card` from here on and releases it on every
// path.
bool writeImage(DiskServices& disk, OperatorUi& ui, Card card, const WriteOptions& options = {});

// The same for a device opened without a drive letter (a block device on
// Linux): no volume to lock; its size is asked of the device itself.
bool writeImage(DiskServices& disk, OperatorUi& ui, CardDevice device,
                const WriteOptions& options = {});

}  // namespace card
