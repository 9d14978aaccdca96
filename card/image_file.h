// The card image file: an 8-byte header (block count and check word, 32-bit
// little-endian) followed by the card's 512-byte sectors in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "card/disk_services.h"
#include "card/owned.h"

namespace card {

constexpr std::size_t kBlockSize = 512;

// The card image file, open for reading for the length of a run.
using ImageFile = Owned<ImageFiles, NativeHandle, &ImageFiles::closeImage>;

// Why a header was refused: the file ends inside it, it is of the older
// format (0.9), or its check word does not match (no card image at all, or a
// damaged one).
enum class HeaderProblem { None, Short, OlderFormat, CheckWord };

struct HeaderCheck {
  bool accepted = false;
  HeaderProblem problem = HeaderProblem::None;
  std::int32_t blockCount = 0;  // iLastBlock, when accepted
  std::string failure;          // the message, when refused
};

// Reads the header from a file positioned at its start; on success the file
// is left at block 0.
HeaderCheck readHeader(const ImageFile& file);

// The header of an image of `blockCount` blocks, in the current format (the
// check word 1236 below the count), as readHeader accepts it.
std::array<unsigned char, 8> imageHeader(std::int32_t blockCount);

// The status text for an accepted block count.
std::string blockCountText(std::int32_t blockCount);

// How many blocks a write of an image of `blockCount` blocks, whose file
// holds `payloadBytes` bytes after its header, puts on a card: the count, or
// up to and with the short block of a short image.
std::int64_t blocksOnCard(std::int32_t blockCount, std::int64_t payloadBytes);

// Reads up to one block into `buffer`; returns how many bytes arrived.
std::size_t readBlock(const ImageFile& file, void* buffer);

// The header's size: block k starts at byte 8 + 512 * k of the file.
constexpr std::int64_t kHeaderSize = 8;

// Blocks read from the image into consecutive 512-byte slots, to go out (or
// be compared) together.
struct Batch {
  std::int32_t first = 0;
  std::int32_t blocks = 0;
  bool endsShort = false;  // its last block is the image's short one
  // The file could not be read past the batch's blocks: an error, not its
  // end. Block `first + blocks` is the one that failed.
  bool readFailed = false;
};

// Reads up to `count` blocks from block `first` on, but never past
// `blockCount`, into `slots`, from the file's current position, in one read.
// The end of the file ends the batch with a short block: the rest of it keeps
// the tail of the block before it (the slot before it, or `blockBefore` at
// the batch's start); before block 0 there is none and it is zero. A read
// error ends it after the last whole block that arrived.
Batch readImageBatch(const ImageFile& file, std::int32_t first, std::int32_t count,
                     std::int32_t blockCount, unsigned char* slots,
                     const unsigned char* blockBefore);

}  // namespace card
