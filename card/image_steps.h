// The steps the write and the compare share on the image side. Each shows its
// own refusal, then releases what the operation holds at that point, in the
// operation's order (the image file before the card).
#pragma once

#include <cstdint>

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/operator_ui.h"
#include "card/owned.h"

namespace card {

// Opens the chosen image file for reading, after asking for one when none is
// chosen. On a refusal ("no image file selected", "image file does not
// open") the card is released and false returned.
bool openChosenImage(DiskServices& disk, OperatorUi& ui, Card& card, ImageFile& file);

// An image larger than the card would only show when the card refuses a
// block, half written: it is refused before anything is written. False,
// with the image file and the card released, when it does not fit.
bool imageFitsOnCard(OperatorUi& ui, Card& card, ImageFile& file, std::int32_t blockCount);

// The warning for the image's short block, shown before that block goes out
// (or is compared).
void warnShortImage(OperatorUi& ui, std::int32_t index);

}  // namespace card
