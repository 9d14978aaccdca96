#include "cli/image_facts.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "card/run_frame.h"
#include "cli/command_parts.h"
#include "cli/sha256.h"

namespace cli {
namespace {

// The image's files as they are, except that every byte read from the image
// also goes into the whole file's hash (when one is asked for), as it
// arrived: before the batch reading completes a short block.
class HashingFiles : public card::ImageFiles {
 public:
  HashingFiles(card::ImageFiles& files, Sha256* whole) : files_(files), whole_(whole) {}

  bool openImage(const std::string& path, card::NativeHandle& file) override {
    return files_.openImage(path, file);
  }
  std::size_t readImage(card::NativeHandle file, void* data, std::size_t size) override {
    const std::size_t got = files_.readImage(file, data, size);
    if (whole_ != nullptr) whole_->update(data, got);
    read_ += std::int64_t(got);
    return got;
  }
  bool imageReadFailed(card::NativeHandle file) override { return files_.imageReadFailed(file); }
  bool seekImage(card::NativeHandle file, std::int64_t offset) override {
    return files_.seekImage(file, offset);
  }
  void closeImage(card::NativeHandle file) override { files_.closeImage(file); }
  bool createBackup(const std::string& path, std::string& temporaryPath,
                    card::NativeHandle& file) override {
    return files_.createBackup(path, temporaryPath, file);
  }
  bool writeBackup(card::NativeHandle file, const void* data, std::size_t size) override {
    return files_.writeBackup(file, data, size);
  }
  bool finishBackup(card::NativeHandle file) override { return files_.finishBackup(file); }
  void closeBackup(card::NativeHandle file) override { files_.closeBackup(file); }
  bool placeBackup(const std::string& temporaryPath, const std::string& path) override {
    return files_.placeBackup(temporaryPath, path);
  }
  void removeBackup(const std::string& temporaryPath) override {
    files_.removeBackup(temporaryPath);
  }
  std::uint32_t lastError() override { return files_.lastError(); }

  // How many bytes of the image have been read.
  std::int64_t bytesRead() const { return read_; }

 private:
  card::ImageFiles& files_;
  Sha256* whole_;
  std::int64_t read_ = 0;
};

// The blocks a write puts on a card, read as a write reads them: the core's
// batches of the same size, each chained to the one before, so that a short
// block is completed exactly as the card receives it. False when the file
// could not be read to its end.
bool hashBlocks(const card::ImageFile& file, std::int32_t blockCount, Sha256& blocks) {
  const std::int32_t batchBlocks = card::kDefaultBatchBlocks;
  std::vector<unsigned char> slots(std::size_t(batchBlocks) * card::kBlockSize);
  // The slot a write passes as the block before the next batch: the last of
  // the batch before, kept there as long as the next batch has not reached it.
  const unsigned char* lastSlot = slots.data() + std::size_t(batchBlocks - 1) * card::kBlockSize;
  for (std::int32_t first = 0; first < blockCount;) {
    const card::Batch batch = card::readImageBatch(file, first, batchBlocks, blockCount,
                                                   slots.data(), first > 0 ? lastSlot : nullptr);
    if (batch.readFailed) return false;
    blocks.update(slots.data(), std::size_t(batch.blocks) * card::kBlockSize);
    if (batch.endsShort || batch.blocks < batchBlocks) break;
    first += batch.blocks;
  }
  return true;
}

// The hashes of the file and of the blocks a write puts on a card, in one
// read from the file's start (which is where `file` stands). False when the
// file could not be read to its end.
bool hashImage(const card::ImageFile& file, HashingFiles& files, const card::HeaderCheck& header,
               ImageFacts& facts, Sha256& whole) {
  Sha256 blocks;
  if (!blocks || !whole) return false;
  if (header.accepted && !hashBlocks(file, header.blockCount, blocks)) return false;
  std::vector<unsigned char> rest(std::size_t(card::kDefaultBatchBlocks) * card::kBlockSize);
  while (files.readImage(file.get(), rest.data(), rest.size()) == rest.size()) {
  }
  if (files.imageReadFailed(file.get())) return false;
  // A file the system gives no size for (an image on a block device) is as
  // long as what was read from it.
  if (facts.bytes < 0) facts.bytes = files.bytesRead();
  facts.blocksSha256 = blocks.hexDigest();
  facts.fileSha256 = whole.hexDigest();
  return true;
}

}  // namespace

std::string hashUnavailableWords() {
  return std::string("the system's SHA-256 (") + Sha256::library() + ") could not be set up";
}

ImageFacts imageFacts(card::ImageFiles& files, const std::string& path, bool hashes) {
  ImageFacts facts;
  // The platform's hash only when the hashes are asked for: setting it up
  // loads the cryptography library and its configuration, a cost every
  // write would pay for nothing.
  std::optional<Sha256> whole;
  if (hashes) {
    whole.emplace();
    facts.hashUnavailable = !*whole;
  }
  HashingFiles hashing(files, whole ? &*whole : nullptr);
  card::NativeHandle handle = 0;
  if (!hashing.openImage(path, handle)) {
    facts.openError = files.lastError();
    return facts;
  }
  const card::ImageFile file(hashing, handle);
  facts.opens = true;
  facts.bytes = fileBytes(path);
  facts.header = card::readHeader(file);
  if (whole) hashImage(file, hashing, facts.header, facts, *whole);
  if (facts.header.accepted)
    facts.blocksOnCard =
        card::blocksOnCard(facts.header.blockCount, facts.bytes - card::kHeaderSize);
  return facts;
}

}  // namespace cli
