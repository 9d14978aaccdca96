#include "cli/image_facts.h"

#include <algorithm>
#include <vector>

#include "cli/command_parts.h"
#include "cli/sha256.h"

namespace cli {
namespace {

constexpr std::int64_t kHeaderBytes = 8;
constexpr std::int64_t kBlockBytes = 512;

// The hashes of the file and of the blocks a write puts on a card, in one
// read from the file's start. A file that ends inside the blocks its header
// claims gives one more, short, block, completed as a write completes it:
// with the rest of the block before it (zeros before block 0). False when
// the file could not be read to its end.
bool hashImage(card::ImageFiles& files, card::NativeHandle file, std::int64_t claimedBytes,
               ImageFacts& facts) {
  Sha256 blocks;
  Sha256 whole;
  if (!blocks || !whole || !files.seekImage(file, 0)) return false;
  // A whole number of blocks, so that every read of the blocks but the last
  // ends on a block's end.
  std::vector<unsigned char> chunk(std::size_t(2048) * kBlockBytes);
  std::vector<unsigned char> before(kBlockBytes, 0);
  std::int64_t offset = 0;
  const auto read = [&](std::size_t wanted) {
    const std::size_t got = files.readImage(file, chunk.data(), wanted);
    whole.update(chunk.data(), got);
    offset += std::int64_t(got);
    return got;
  };
  bool ended = read(std::size_t(kHeaderBytes)) < std::size_t(kHeaderBytes);
  for (std::int64_t left = claimedBytes; !ended && left > 0;) {
    const std::size_t wanted =
        std::size_t(std::min<std::int64_t>(left, std::int64_t(chunk.size())));
    const std::size_t got = read(wanted);
    const std::size_t part = got % std::size_t(kBlockBytes);
    const std::size_t wholeBytes = got - part;
    blocks.update(chunk.data(), wholeBytes);
    if (got < wanted) {
      ended = true;
      if (files.imageReadFailed(file)) return false;
      unsigned char* shortBlock = chunk.data() + wholeBytes;
      const unsigned char* blockBefore = wholeBytes > 0 ? shortBlock - kBlockBytes : before.data();
      std::copy(blockBefore + part, blockBefore + kBlockBytes, shortBlock + part);
      blocks.update(shortBlock, std::size_t(kBlockBytes));
    } else {
      std::copy(chunk.data() + wholeBytes - kBlockBytes, chunk.data() + wholeBytes, before.begin());
    }
    left -= std::int64_t(got);
  }
  while (!ended) ended = read(chunk.size()) < chunk.size();
  if (files.imageReadFailed(file)) return false;
  // A file the system gives no size for (an image on a block device) is as
  // long as what was read from it.
  if (facts.bytes < 0) facts.bytes = offset;
  facts.blocksSha256 = blocks.hexDigest();
  facts.fileSha256 = whole.hexDigest();
  return true;
}

}  // namespace

ImageFacts imageFacts(card::ImageFiles& files, const std::string& path, bool hashes) {
  ImageFacts facts;
  card::NativeHandle handle = 0;
  if (!files.openImage(path, handle)) {
    facts.openError = files.lastError();
    return facts;
  }
  const card::ImageFile file(files, handle);
  facts.opens = true;
  facts.bytes = fileBytes(path);
  facts.header = card::readHeader(file);
  const std::int64_t claimedBytes =
      facts.header.accepted ? std::max<std::int64_t>(facts.header.blockCount, 0) * kBlockBytes : 0;
  if (hashes) hashImage(files, file.get(), claimedBytes, facts);
  if (facts.header.accepted)
    facts.blocksOnCard = card::blocksOnCard(facts.header.blockCount, facts.bytes - kHeaderBytes);
  return facts;
}

}  // namespace cli
