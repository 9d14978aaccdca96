#include "card/image_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <limits>

#include "disks/simulated_disk_services.h"
#include "tests/support/test_support.h"

namespace {

using namespace testing_support;

// The check word that makes `lastBlock` pass with `offset`, wrapping as the
// header's 32-bit sum does.
std::int32_t checkFor(std::int32_t lastBlock, std::uint32_t offset) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(lastBlock) - offset);
}

struct HeaderCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  bool accepted;
  std::int32_t blockCount;
  const char* failure;
};

class HeaderTest : public ::testing::Test {
 protected:
  card::HeaderCheck check(const std::vector<std::uint8_t>& bytes, card::ImageFile* keep = nullptr) {
    const std::string path = scratch.path("image.S7img");
    writeFile(path, bytes);
    card::NativeHandle handle = 0;
    EXPECT_TRUE(disk.openImage(path, handle));
    card::ImageFile file(disk, handle);
    card::HeaderCheck result = card::readHeader(file);
    if (keep != nullptr) *keep = std::move(file);
    return result;
  }

  ScratchDir scratch;
  disks::SimulatedDiskServices disk;
};

TEST_F(HeaderTest, RefusesAndAcceptsAsTheCheckWordSays) {
  const std::int32_t nearMin = std::numeric_limits<std::int32_t>::min() + 5;
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  const std::vector<std::uint8_t> full = imageBytes(100, -1136, 0);
  const HeaderCase cases[] = {
      {"empty file", {}, false, 0, "image header failed (iLastBlock)"},
      {"three bytes",
       {full.begin(), full.begin() + 3},
       false,
       0,
       "image header failed (iLastBlock)"},
      {"four bytes", {full.begin(), full.begin() + 4}, false, 0, "image header failed (iCheck)"},
      {"seven bytes", {full.begin(), full.begin() + 7}, false, 0, "image header failed (iCheck)"},
      {"format 0.9", imageBytes(100, -1134, 0), false, 0, "this is V0.9 Image File, use with V0.9"},
      {"neither relation", imageBytes(100, -1135, 0), false, 0,
       "image header failed (iCheck & iLastBlock)"},
      {"check word swapped", imageBytes(-1136, 100, 0), false, 0,
       "image header failed (iCheck & iLastBlock)"},
      {"current format", imageBytes(100, -1136, 0), true, 100, ""},
      {"no blocks", imageBytes(0, -1236, 0), true, 0, ""},
      {"negative count", imageBytes(-5, -1241, 0), true, -5, ""},
      {"sum wraps below", imageBytes(nearMin, checkFor(nearMin, 1236), 0), true, nearMin, ""},
      {"largest count", imageBytes(max, checkFor(max, 1236), 0), true, max, ""},
      {"format 0.9, wrapping", imageBytes(nearMin, checkFor(nearMin, 1234), 0), false, 0,
       "this is V0.9 Image File, use with V0.9"},
  };
  for (const HeaderCase& c : cases) {
    SCOPED_TRACE(c.name);
    const card::HeaderCheck result = check(c.bytes);
    EXPECT_EQ(result.accepted, c.accepted);
    EXPECT_EQ(result.failure, c.failure);
    if (c.accepted) {
      EXPECT_EQ(result.blockCount, c.blockCount);
    }
  }
}

TEST_F(HeaderTest, LeavesTheFileAtBlockZero) {
  card::ImageFile file;
  ASSERT_TRUE(check(completeImage(3), &file).accepted);
  std::vector<std::uint8_t> block(card::kBlockSize);
  ASSERT_EQ(card::readBlock(file, block.data()), card::kBlockSize);
  for (std::size_t k = 0; k < block.size(); ++k) ASSERT_EQ(block[k], patternByte(0, k)) << k;
}

// The header a backup is written with: little-endian words, the check word
// 1236 below the count, and read back as the same count.
TEST_F(HeaderTest, WrittenHeaderIsReadBackAsItsCount) {
  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  for (const std::int32_t count : {0, 1, 1234, 1236, 3446, 65536, max}) {
    SCOPED_TRACE(count);
    const std::array<unsigned char, 8> header = card::imageHeader(count);
    const std::vector<std::uint8_t> bytes(header.begin(), header.end());
    EXPECT_EQ(bytes, imageBytes(count, checkFor(count, 1236), 0));
    const card::HeaderCheck result = check(bytes);
    EXPECT_TRUE(result.accepted) << result.failure;
    EXPECT_EQ(result.blockCount, count);
  }
  EXPECT_EQ(card::imageHeader(2048),
            (std::array<unsigned char, 8>{0x00, 0x08, 0x00, 0x00, 0x2C, 0x03, 0x00, 0x00}));
}

TEST(BlockCountText, NamesTheCountAndMarksTheEpromSize) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {2048, "2048 block image"}, {100, "100 block image"},   {0, "0 block image"},
      {-5, "-5 block image"},     {3445, "3445 block image"}, {3446, "3446 block image 128k Eprom"},
      {3447, "3447 block image"},
  };
  for (const auto& c : cases) EXPECT_EQ(card::blockCountText(c.first), c.second);
}

}  // namespace
