// What each card of a write got, in words after the closing messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/card_runner.h"

namespace cli {

// How many blocks of the image a card took, whatever the ending: none when
// its write never began.
std::int64_t blocksWritten(const CardJob& job);

// Whether the card was read back and held the image (`verify`: the write
// was to read it back).
bool verified(const CardJob& job, bool verify);

// What one card got: written (and read back or not), stopped or failed at a
// block, or untouched.
std::string cardResultLine(const CardJob& job, bool verify);

// The lines after the closing messages: one per card of a tray, and one for
// a lone card unless its refusal already says that nothing was written.
void sayWhatEachCardGot(const std::vector<CardJob>& jobs, bool verify);

}  // namespace cli
