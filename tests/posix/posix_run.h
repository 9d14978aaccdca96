// What the tests of the disk services and of runs on Linux devices share:
// a card's contents marked before a run, how much of an image landed, and
// one write through the services onto a device or file opened by its path.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "card/owned.h"
#include "card/write_run.h"
#include "disks/linux_disk_services.h"
#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

namespace posix_testing {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBlock = 512;
constexpr std::uint8_t kUntouched = 0xEE;

inline std::string errorMessage(int error) {
  return "error " + std::to_string(error) + " writing to MMC card.";
}

// The image's payload: everything after the header.
inline Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// A card's contents before a run: every byte marked, so that a write to the
// wrong place, or one too many, shows.
inline void makeCard(const std::string& path, std::size_t blocks) {
  writeFile(path, Bytes(blocks * kBlock, kUntouched));
}

// How many leading blocks of `card` equal those of `payload`.
inline std::size_t matchingBlocks(const Bytes& card, const Bytes& payload) {
  std::size_t blocks = 0;
  while ((blocks + 1) * kBlock <= std::min(card.size(), payload.size()) &&
         std::memcmp(card.data() + blocks * kBlock, payload.data() + blocks * kBlock, kBlock) == 0)
    ++blocks;
  return blocks;
}

inline bool untouchedFrom(const Bytes& card, std::size_t block) {
  for (std::size_t k = block * kBlock; k < card.size(); ++k)
    if (card[k] != kUntouched) return false;
  return true;
}

// One write of an image through the POSIX services onto a device or file
// opened by its path, as the write path does after the card was opened.
class PosixRun {
 public:
  explicit PosixRun(const std::string& imagePath) : ui(journal) { ui.fileName = imagePath; }

  // False (with nothing run) when the device does not open.
  bool run(const std::string& devicePath, bool verify) {
    card::NativeHandle handle = 0;
    if (!disk.openDevice(devicePath, handle)) return false;
    card::WriteOptions options;
    options.verify = verify;
    card::runWrite(disk, ui, card::CardDevice(disk, handle), options);
    return true;
  }

  void expectAllReleased() const {
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openImages(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
  }

  using Message = std::pair<std::string, std::string>;
  std::vector<std::string> journal;
  RecordingUi ui;
  disks::LinuxDiskServices disk;
};

inline std::string verifyName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "WriteAndVerify" : "WriteOnly";
}

// A loop device as ATTACH_OR_SKIP wants it, and asked for direct I/O, which
// every device must then have.
#define ATTACH_DIRECT_OR_SKIP(loop)                                                              \
  do {                                                                                           \
    ATTACH_OR_SKIP(loop);                                                                        \
    ASSERT_TRUE((loop).directIo()) << (loop).path() << " reads its file through the page cache"; \
  } while (0)

}  // namespace posix_testing
