// What the command line's tests on loop devices share: a card of marked
// bytes behind a loop device, and what it holds afterwards.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kBlock = 512;
constexpr std::uint8_t kUntouched = 0xEE;

// A card: a file of marked bytes behind a loop device.
struct LoopCard {
  LoopCard(const ScratchDir& scratch, const std::string& name, std::size_t blocks)
      : backing(scratch.path(name)) {
    writeFile(backing, Bytes(blocks * kBlock, kUntouched));
    loop = std::make_unique<LoopDevice>(backing);
  }
  // What the card holds, once the loop device is gone.
  Bytes contents() {
    loop->detach();
    return readFile(backing);
  }
  std::string backing;
  std::unique_ptr<LoopDevice> loop;
};

inline std::string readText(const std::string& path) {
  const Bytes bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

inline Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// The card holds `payload` from its start, and nothing else was touched.
inline bool holds(const Bytes& card, const Bytes& payload) {
  return card.size() >= payload.size() &&
         std::equal(payload.begin(), payload.end(), card.begin()) &&
         std::all_of(card.begin() + long(payload.size()), card.end(),
                     [](std::uint8_t b) { return b == kUntouched; });
}

inline bool untouched(const Bytes& card) {
  return std::all_of(card.begin(), card.end(), [](std::uint8_t b) { return b == kUntouched; });
}

// An MBR with one partition of `sectors` sectors from sector `first`.
inline Bytes partitionedDisk(std::size_t blocks, std::uint32_t first, std::uint32_t sectors) {
  Bytes disk(blocks * kBlock, kUntouched);
  std::uint8_t* entry = disk.data() + 446;
  std::fill(entry, entry + 64, 0);
  entry[4] = 0x83;  // a Linux file system
  for (int k = 0; k < 4; ++k) {
    entry[8 + k] = static_cast<std::uint8_t>(first >> (8 * k));
    entry[12 + k] = static_cast<std::uint8_t>(sectors >> (8 * k));
  }
  disk[510] = 0x55;
  disk[511] = 0xAA;
  return disk;
}

// sha256sum's digest of a file: a witness from outside the program.
inline std::string sha256sum(const std::string& path) {
  std::string output;
  runProgram({"sha256sum", path}, &output);
  return output.substr(0, output.find(' '));
}

}  // namespace testing_support
