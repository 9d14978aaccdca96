// The card image file: an 8-byte header (block count and check word, 32-bit
// little-endian) followed by the card's 512-byte sectors in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "owned.h"

namespace card {

constexpr std::size_t kBlockSize = 512;

struct HeaderCheck {
  bool accepted = false;
  std::int32_t blockCount = 0;  // iLastBlock, when accepted
  std::string failure;          // the message, when refused
};

// Reads the header from a file positioned at its start; on success the file
// is left at block 0.
HeaderCheck readHeader(const ImageFile& file);

// The status text for an accepted block count.
std::string blockCountText(std::int32_t blockCount);

// Reads up to one block into `buffer`; returns how many bytes arrived.
std::size_t readBlock(const ImageFile& file, void* buffer);

}  // namespace card
