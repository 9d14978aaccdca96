// What the command line knows of an image before any card is touched.
#pragma once

#include <cstdint>
#include <string>

#include "card/disk_services.h"
#include "card/image_file.h"

namespace cli {

// From one read of the file: its header as the card writer checks it, its
// size, how many blocks a write puts on a card and, when asked for, the
// SHA-256 of the whole file and of the blocks a card receives.
struct ImageFacts {
  bool opens = false;
  std::uint32_t openError = 0;  // the system's code when it does not open
  card::HeaderCheck header;
  std::int64_t bytes = -1;
  std::int64_t blocksOnCard = 0;
  // Empty when not asked for, or when the file could not be read to its end
  // (a read that failed part-way is no end of the file: no hash of half a
  // file passes for the image's).
  std::string blocksSha256;
  std::string fileSha256;
  // The hashes were asked for, and the system's SHA-256 could not be set up.
  bool hashUnavailable = false;
};

ImageFacts imageFacts(card::ImageFiles& files, const std::string& path, bool hashes);

// What the operator reads when the system's SHA-256 could not be set up.
std::string hashUnavailableWords();

}  // namespace cli
