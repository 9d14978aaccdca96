// The cards of a Linux system as list shows them, what the confirmation
// says of one, and what is refused before a card is touched: each read from
// the card rule (disks/linux_card_rule.h) over one snapshot of the system.
#pragma once

#include <string>
#include <vector>

#include "disks/cards.h"
#include "disks/linux_system.h"

namespace disks {

// The whole disks the rule calls cards and that hold a card (a reader
// without one is a disk of no bytes).
std::vector<CardDescription> listLinuxCards(const LinuxSystem& system);

// The whole disk `name` (sdb, loop0): size, vendor, model, what is mounted.
CardDescription describeLinuxDisk(const LinuxSystem& system, const std::string& name);

// What is refused of the device `name` (a path under the system's /dev)
// before the card writer is asked, with the message to show; empty when
// nothing, or when `name` is no block device the system shows (the run
// then says what it is). An eMMC's replay-protected area is refused by its
// name, for newer kernels make it a character device.
std::string linuxCardRefusal(const LinuxSystem& system, const std::string& name,
                             const std::vector<std::string>& files, CardUse use = CardUse::Write);

}  // namespace disks
