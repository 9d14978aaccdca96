#include "card/image_file.h"

#include <algorithm>
#include <cstring>

namespace card {
namespace {

bool readWord(const ImageFile& file, std::int32_t& word) {
  unsigned char bytes[4];
  if (file.services().readImage(file.get(), bytes, sizeof bytes) < sizeof bytes) return false;
  const std::uint32_t value = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
                              std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  word = static_cast<std::int32_t>(value);
  return true;
}

// The check relation is a 32-bit sum that may wrap; only equality counts.
bool checkWordMatches(std::int32_t lastBlock, std::int32_t check, std::uint32_t offset) {
  return static_cast<std::uint32_t>(check) + offset == static_cast<std::uint32_t>(lastBlock);
}

}  // namespace

HeaderCheck readHeader(const ImageFile& file) {
  HeaderCheck result;
  std::int32_t lastBlock = 0;
  std::int32_t check = 0;
  if (!readWord(file, lastBlock)) {
    result.failure = "image header failed (iLastBlock)";
    result.problem = HeaderProblem::Short;
  } else if (!readWord(file, check)) {
    result.failure = "image header failed (iCheck)";
    result.problem = HeaderProblem::Short;
  } else if (checkWordMatches(lastBlock, check, 1234)) {
    // Images of format 0.9 carry the older relation.
    result.failure = "this is V0.9 Image File, use with V0.9";
    result.problem = HeaderProblem::OlderFormat;
  } else if (!checkWordMatches(lastBlock, check, 1236)) {
    result.failure = "image header failed (iCheck & iLastBlock)";
    result.problem = HeaderProblem::CheckWord;
  } else {
    result.accepted = true;
    result.blockCount = lastBlock;
  }
  return result;
}

std::array<unsigned char, 8> imageHeader(std::int32_t blockCount) {
  // The same 32-bit wrap-around as the check, so that every count has a check
  // word readHeader accepts.
  const std::uint32_t words[2] = {static_cast<std::uint32_t>(blockCount),
                                  static_cast<std::uint32_t>(blockCount) - 1236u};
  std::array<unsigned char, 8> bytes{};
  for (int w = 0; w < 2; ++w)
    for (int b = 0; b < 4; ++b)
      bytes[std::size_t(w * 4 + b)] = static_cast<unsigned char>(words[w] >> (8 * b));
  return bytes;
}

std::string blockCountText(std::int32_t blockCount) {
  std::string text = std::to_string(blockCount) + " block image";
  if (blockCount == 3446) text += " 128k Eprom";
  return text;
}

std::int64_t blocksOnCard(std::int32_t blockCount, std::int64_t payloadBytes) {
  if (blockCount <= 0) return 0;
  const std::int64_t claimed = blockCount;
  const std::int64_t present = payloadBytes < 0 ? 0 : payloadBytes;
  const std::int64_t whole = present / std::int64_t(kBlockSize);
  // A file that ends inside the claimed blocks gives one more: the short
  // block, completed, goes out too.
  return whole >= claimed ? claimed : whole + 1;
}

std::size_t readBlock(const ImageFile& file, void* buffer) {
  return file.services().readImage(file.get(), buffer, kBlockSize);
}

Batch readImageBatch(const ImageFile& file, std::int32_t first, std::int32_t count,
                     std::int32_t blockCount, unsigned char* slots,
                     const unsigned char* blockBefore) {
  Batch batch{first, 0, false, false};
  const std::int64_t wanted = std::min<std::int64_t>(count, std::int64_t{blockCount} - first);
  if (wanted <= 0) return batch;
  const std::size_t bytes = std::size_t(wanted) * kBlockSize;
  const std::size_t arrived = file.services().readImage(file.get(), slots, bytes);
  batch.blocks = static_cast<std::int32_t>(arrived / kBlockSize);
  if (arrived >= bytes) return batch;
  if (file.services().imageReadFailed(file.get())) {
    batch.readFailed = true;
    return batch;
  }
  // The file ended inside this block (or right before it).
  const std::size_t part = arrived % kBlockSize;
  unsigned char* block = slots + std::size_t(batch.blocks) * kBlockSize;
  const unsigned char* before = batch.blocks > 0 ? block - kBlockSize : blockBefore;
  if (before != nullptr)
    std::memmove(block + part, before + part, kBlockSize - part);
  else
    std::memset(block + part, 0, kBlockSize - part);
  ++batch.blocks;
  batch.endsShort = true;
  return batch;
}

}  // namespace card
