// The record of card production: one CSV line per card, appended, so that
// every card of a tray is accounted for.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "cli/card_runner.h"
#include "cli/image_facts.h"

namespace cli {

struct RecordLine {
  std::string time;  // UTC, ISO 8601
  std::string operation;
  std::string image;
  std::string imageSha256;
  std::string target;
  std::int64_t cardBytes = -1;  // -1: unknown, left empty
  std::string vendor;
  std::string product;
  std::int64_t blocksWritten = -1;  // -1: unknown, left empty
  double seconds = 0;
  std::string result;        // "done", or the failure's text
  std::string verified;      // "yes": read back and found to hold the image
  std::string blocksSha256;  // of the blocks a card receives
};

// The record's line for one card of a write of `image` (`verify`: the write
// was to read the card back).
RecordLine recordLine(const CardJob& job, const std::string& image, const ImageFacts& facts,
                      bool verify);

// A field as CSV wants it: quoted when it holds a comma, a quote or a line
// break, its quotes doubled.
std::string csvField(const std::string& text);

// The time now, UTC, as 2026-12-10T13:05:00Z.
std::string utcNow();

class Record {
 public:
  // writer_version is this program's version and source revision, so that
  // every card can be traced to the build that wrote it. Columns are only
  // ever added at the end: a record begun by an earlier version keeps its
  // columns where its header says.
  static constexpr const char* kHeader =
      "time,operation,image,image_sha256,target,card_bytes,vendor,product,blocks_written,seconds,"
      "result,writer_version,verified,blocks_sha256";

  explicit Record(std::string path) : path_(std::move(path)) {}
  // Appends one line (and the header line first when the file is new or
  // empty); false with `error` set when the file cannot be written.
  bool append(const RecordLine& line, std::string& error);
  // Whether lines can be appended, asked before any card is written so that
  // no card goes unaccounted for; the file is made (empty) when new.
  bool writable(std::string& error);

 private:
  std::mutex mutex_;
  std::string path_;
};

}  // namespace cli
