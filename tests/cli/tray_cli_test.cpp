// Several cards written at once: each with its result and its record line,
// the tray failing when any card fails, and nothing written when anything is
// wrong before the start. On direct-I/O loop devices (root only; skipped,
// saying why, elsewhere).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/cli/loop_card.h"
#include "tests/support/attach_or_skip.h"
#include "version/version.h"

namespace {

using namespace testing_support;

TEST(TrayCli, WritesSeveralCardsAtOnceEachWithItsResultAndRecordLine) {
  ScratchDir scratch;
  const Bytes image = completeImage(400);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  LoopCard first(scratch, "first.img", 1024);
  LoopCard second(scratch, "second.img", 2048);
  // Too small for the image: refused before anything is written.
  LoopCard small(scratch, "small.img", 128);
  ATTACH_OR_SKIP(*small.loop);
  const std::string record = scratch.path("record.csv");
  const CliResult result = runCli({"write", "--yes", "--record", record, imagePath,
                                   first.loop->path(), second.loop->path(), small.loop->path()});
  EXPECT_EQ(result.status, 1) << result.errors;
  for (LoopCard* card : {&first, &second})
    EXPECT_NE(result.errors.find(card->loop->path() + ": done\n"), std::string::npos)
        << result.errors;
  EXPECT_NE(result.errors.find(small.loop->path() +
                               ": ERROR: image of 400 blocks does not fit on card of 128 blocks\n"),
            std::string::npos)
      << result.errors;

  // Every field of every card's line: the card's size, its reader, what was
  // written and how it ended. The image's SHA-256 is that of the fixture's
  // bytes, worked out once outside this program.
  const std::string kImageSha = "bddff789538d9586f58dcd5a7f1f87b163986189ec2fb88027b5d04f71d7bb9c";
  std::ifstream in(record);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    EXPECT_EQ(line.back(), '\r') << line;
    if (line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, ',');) fields.push_back(field);
    if (line.back() == ',') fields.emplace_back();
    rows.push_back(fields);
  }
  ASSERT_EQ(rows.size(), 4u);
  // and that of the blocks a card receives.
  const std::string kBlocksSha = "399b38f5af046cb60f910b429e2e90ea3123e1a1cccb7edc0bf6197607fb4630";
  EXPECT_EQ(rows[0], (std::vector<std::string>{"time", "operation", "image", "image_sha256",
                                               "target", "card_bytes", "vendor", "product",
                                               "blocks_written", "seconds", "result",
                                               "writer_version", "verified", "blocks_sha256"}));
  struct Expected {
    LoopCard* card;
    const char* product;
    const char* bytes;
    const char* blocks;
    const char* result;
    const char* verified;
  };
  const Expected expected[] = {
      {&first, "first.img", "524288", "400", "done", "yes"},
      {&second, "second.img", "1048576", "400", "done", "yes"},
      {&small, "small.img", "65536", "0", "image of 400 blocks does not fit on card of 128 blocks",
       "no"},
  };
  for (const Expected& e : expected) {
    const std::string path = e.card->loop->path();
    SCOPED_TRACE(path);
    const auto row = std::find_if(rows.begin() + 1, rows.end(), [&](const auto& fields) {
      return fields.size() > 4 && fields[4] == path;
    });
    ASSERT_NE(row, rows.end());
    ASSERT_EQ(row->size(), 14u);
    EXPECT_TRUE(found((*row)[0], "^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$"))
        << (*row)[0];
    EXPECT_TRUE(found((*row)[9], "^[0-9]+\\.[0-9]{3}$")) << (*row)[9];
    std::vector<std::string> rest = *row;
    rest[0] = rest[9] = "";
    EXPECT_EQ(rest, (std::vector<std::string>{"", "write", imagePath, kImageSha, path, e.bytes,
                                              "loop", e.product, e.blocks, "", e.result,
                                              QUENVORY_VERSION_TEXT, e.verified, kBlocksSha}));
  }
  EXPECT_TRUE(holds(first.contents(), payloadOf(image)));
  EXPECT_TRUE(holds(second.contents(), payloadOf(image)));
  EXPECT_TRUE(untouched(small.contents()));
}

TEST(TrayCli, ATrayFailsWhenAnyOfItsCardsFails) {
  ScratchDir scratch;
  const Bytes image = completeImage(200);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  // The card that fails, too small for the image, first and last: the exit
  // status speaks for every card, not for the one that happened to end it.
  for (const bool smallFirst : {true, false}) {
    SCOPED_TRACE(smallFirst ? "small card first" : "small card last");
    LoopCard good(scratch, "good.img", 512);
    LoopCard small(scratch, "small.img", 64);
    ATTACH_OR_SKIP(*small.loop);
    std::vector<std::string> args = {"write", "--yes", imagePath};
    for (LoopCard* card :
         smallFirst ? std::vector<LoopCard*>{&small, &good} : std::vector<LoopCard*>{&good, &small})
      args.push_back(card->loop->path());
    const CliResult result = runCli(args);
    EXPECT_EQ(result.status, 1) << result.errors;
    EXPECT_NE(result.errors.find(good.loop->path() + ": done\n"), std::string::npos)
        << result.errors;
    EXPECT_NE(
        result.errors.find(small.loop->path() +
                           ": ERROR: image of 200 blocks does not fit on card of 64 blocks\n"),
        std::string::npos)
        << result.errors;
    EXPECT_TRUE(holds(good.contents(), payloadOf(image)));
  }
}

TEST(TrayCli, WhatIsWrongBeforeTheStartLeavesEveryCardOfTheTrayUntouched) {
  ScratchDir scratch;
  const Bytes image = completeImage(100);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  // A partitioned card whose kernel shows its partition as a device.
  const std::string disk = scratch.path("partitioned.img");
  const Bytes layout = partitionedDisk(8192, 2048, 4096);
  writeFile(disk, layout);
  LoopDevice::Options options;
  options.partitions = true;
  LoopDevice partitioned(disk, options);
  ATTACH_OR_SKIP(partitioned);
  const std::string partition = partitioned.partition(1, 2048, 4096);
  ASSERT_NE(partition, "") << partitioned.reason();
  const std::string partitionRefusal =
      "ERROR: " + partition + " is a partition: name the whole card, " + partitioned.path() + "\n";
  const std::string record = scratch.path("no-folder/record.csv");

  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::vector<std::string> moreTargets;  // after the good card
    std::string errors;
  };
  const Case cases[] = {
      // Each card of the tray says that it was left as it was.
      {"a partition",
       {},
       {partition},
       partition + ": " + partitionRefusal + "GOOD: not started, untouched\n" + partition +
           ": refused, untouched\n"},
      {"a record file that does not open",
       {"--record", record},
       {},
       "ERROR: record file " + record + " does not open: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopCard good(scratch, "good.img", 512);
    ATTACH_OR_SKIP(*good.loop);
    std::vector<std::string> args = {"write", "--yes"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {imagePath, good.loop->path()});
    args.insert(args.end(), c.moreTargets.begin(), c.moreTargets.end());
    const CliResult result = runCli(args);
    EXPECT_EQ(result.status, 1) << result.errors;
    std::string errors = c.errors;
    if (errors.find("GOOD") != std::string::npos)
      errors.replace(errors.find("GOOD"), 4, good.loop->path());
    EXPECT_EQ(result.errors, errors);
    EXPECT_TRUE(untouched(good.contents()));
  }
  // Alone, it is refused in the same words, without the card's name before
  // them.
  const CliResult alone = runCli({"write", "--yes", imagePath, partition});
  EXPECT_EQ(alone.status, 1);
  EXPECT_EQ(alone.errors, partitionRefusal);
  partitioned.detach();
  EXPECT_EQ(readFile(disk), layout);
}

}  // namespace
