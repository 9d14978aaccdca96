// The command line against real block devices: direct-I/O loop devices
// over files, written, refused and asked about as an operator would see it
// (root only; skipped, saying why, elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/support/attach_or_skip.h"
#include "tests/support/loop_device.h"
#include "tests/support/test_support.h"
#include "version/version.h"

namespace {

using namespace testing_support;
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

std::string readText(const std::string& path) {
  const Bytes bytes = readFile(path);
  return std::string(bytes.begin(), bytes.end());
}

Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

bool holds(const Bytes& card, const Bytes& payload) {
  return card.size() >= payload.size() &&
         std::equal(payload.begin(), payload.end(), card.begin()) &&
         std::all_of(card.begin() + long(payload.size()), card.end(),
                     [](std::uint8_t b) { return b == kUntouched; });
}

bool untouched(const Bytes& card) {
  return std::all_of(card.begin(), card.end(), [](std::uint8_t b) { return b == kUntouched; });
}

TEST(LoopDeviceCli, WritesTheImageOntoTheCardAndSaysDone) {
  ScratchDir scratch;
  const Bytes image = completeImage(3000);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  // The kernel's own counters witness the read-back and the flush: a
  // program that only says it read the card back, or that leaves the
  // blocks in a cache, shows here.
  struct Case {
    std::vector<std::string> flags;
    bool readsBack;
    // After the closing message, what the card got.
    const char* got;
  };
  const Case cases[] = {{{}, true, "written and read back"},
                        {{"--no-verify"}, false, "written, not read back \\(--no-verify\\)"},
                        {{"--quiet"}, true, "written and read back"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags.empty() ? "plain" : c.flags[0]);
    LoopCard card(scratch, "card.img", 4096);
    ATTACH_OR_SKIP(*card.loop);
    const LoopDevice::Counters before = card.loop->counters();
    ASSERT_EQ(before.problem, "");
    const std::string record = scratch.path("record.csv");
    std::remove(record.c_str());
    std::vector<std::string> args = {"write", "--yes",   "--record",
                                     record,  imagePath, card.loop->path()};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    const CliResult result = runCli(args);
    const LoopDevice::Counters after = card.loop->counters();
    EXPECT_EQ(result.status, 0) << result.errors;
    // No terminal: nothing but the result and the card's line.
    EXPECT_TRUE(found(result.errors, "^done\n" + card.loop->path() + ": " + c.got +
                                         ", 3000 blocks \\(1\\.5 MiB\\) in [0-9]+\\.[0-9] s\n$"))
        << result.errors;
    const long long read = after.sectorsRead - before.sectorsRead;
    if (c.readsBack)
      EXPECT_GE(read, 3000) << "the card was not read back";
    else
      EXPECT_LT(read, 3000) << "the card was read back";
    EXPECT_GE(after.flushes - before.flushes, 1) << "the card was never flushed";
    const std::string lines = readText(record);
    EXPECT_EQ(recordField(lines, "verified"), c.readsBack ? "yes" : "no") << lines;
    EXPECT_EQ(recordField(lines, "blocks_written"), "3000") << lines;
    EXPECT_TRUE(holds(card.contents(), payloadOf(image)));
  }
}

// One name per hash, the same in info and in the record: image_sha256 the
// whole file's, blocks_sha256 that of the blocks the card receives, which
// for a short image ends with its short block as the write completed it.
// sha256sum, run on the file and on what the card holds, is the witness.
TEST(LoopDeviceCli, InfoAndTheRecordNameTheSameHashesAsSha256sumFindsThem) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("short.S7img");
  writeFile(imagePath, imageBytes(1000, 1000 - 1236, 600 * kBlock + 256));
  LoopCard card(scratch, "card.img", 2048);
  ATTACH_OR_SKIP(*card.loop);
  const std::string record = scratch.path("record.csv");
  const CliResult write =
      runCli({"write", "--yes", "--record", record, imagePath, card.loop->path()});
  EXPECT_EQ(write.status, 0) << write.errors;
  const CliResult info = runCli({"info", imagePath});
  EXPECT_EQ(info.status, 0) << info.errors;

  const auto sha256sum = [](const std::string& path) {
    std::string output;
    runProgram({"sha256sum", path}, &output);
    return output.substr(0, output.find(' '));
  };
  const std::string onCard = scratch.path("on-card.bin");
  const Bytes contents = card.contents();
  writeFile(onCard, Bytes(contents.begin(), contents.begin() + 601 * long(kBlock)));
  const std::string fileSha = sha256sum(imagePath);
  const std::string blocksSha = sha256sum(onCard);
  ASSERT_EQ(fileSha.size(), 64u);
  ASSERT_EQ(blocksSha.size(), 64u);
  const std::string lines = readText(record);
  EXPECT_EQ(recordField(lines, "image_sha256"), fileSha) << lines;
  EXPECT_EQ(recordField(lines, "blocks_sha256"), blocksSha) << lines;
  EXPECT_NE(info.output.find("\nimage_sha256: " + fileSha + " "), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("\nblocks_sha256: " + blocksSha + " "), std::string::npos)
      << info.output;
}

TEST(LoopDeviceCli, WritesSeveralCardsAtOnceEachWithItsResultAndRecordLine) {
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

TEST(LoopDeviceCli, AShortImageIsWrittenWithItsWarningAndDone) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("short.S7img");
  writeFile(imagePath, imageBytes(1000, 1000 - 1236, 600 * kBlock + 256));
  LoopCard card(scratch, "card.img", 2048);
  ATTACH_OR_SKIP(*card.loop);
  const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path()});
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(found(result.errors,
                    "^surprised: unexpected shortness of image file at block 600 , good luck\n"
                    "done\n" +
                        card.loop->path() +
                        ": written and read back, 601 blocks \\(300\\.5 KiB\\) in [0-9.]+ s\n$"))
      << result.errors;
}

// A card whose lock switch is on is refused before anything is written, with
// the reason; a backup and a compare of it work as of any card.
TEST(LoopDeviceCli, AWriteProtectedCardIsRefusedByNameAndStillReadAndCompared) {
  ScratchDir scratch;
  const Bytes image = completeImage(300);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  const std::string backing = scratch.path("card.img");
  Bytes contents = payloadOf(image);
  contents.resize(512 * kBlock, kUntouched);
  writeFile(backing, contents);
  LoopDevice::Options readOnly;
  readOnly.readOnly = true;
  LoopDevice loop(backing, readOnly);
  ATTACH_OR_SKIP(loop);

  const CliResult write = runCli({"write", "--yes", imagePath, loop.path()});
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.errors, "ERROR: the card at >" + loop.path() + " is write-protected\n");

  const std::string backup = scratch.path("backup.S7img");
  const CliResult read = runCli({"read", loop.path(), backup});
  EXPECT_EQ(read.status, 0) << read.errors;
  EXPECT_EQ(read.errors, "done\n");
  EXPECT_EQ(payloadOf(readFile(backup)), contents);

  const CliResult compare = runCli({"compare", imagePath, loop.path()});
  EXPECT_EQ(compare.status, 0) << compare.errors;
  EXPECT_EQ(compare.errors, "card matches image\n");

  loop.detach();
  EXPECT_EQ(readFile(backing), contents);
}

TEST(LoopDeviceCli, RefusesWhatIsNoCardToOverwrite) {
  ScratchDir scratch;
  const Bytes image = completeImage(16);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);

  // A loop device over another block device is that device, not a card.
  LoopCard card(scratch, "card.img", 256);
  ATTACH_OR_SKIP(*card.loop);
  {
    LoopDevice overDevice(card.loop->path());
    ATTACH_OR_SKIP(overDevice);
    const CliResult result = runCli({"write", "--yes", imagePath, overDevice.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "ERROR: your system does not recognize a removable media at >" +
                                 overDevice.path() + "\n");
  }
  // A card holding the image file itself.
  {
    const std::string onCard = scratch.path("on-card.S7img");
    writeFile(onCard, image);
    LoopDevice imageCard(onCard);
    ATTACH_OR_SKIP(imageCard);
    const CliResult result = runCli({"write", "--yes", onCard, imageCard.path()});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "ERROR: image file is on the card at >" + imageCard.path() +
                                 ", copy it to another drive first\n");
    imageCard.detach();
    EXPECT_EQ(readFile(onCard), image);
  }
  // One card by two names: two loop devices over the same file.
  {
    LoopDevice again(card.backing);
    ATTACH_OR_SKIP(again);
    const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path(), again.path()});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.errors.find(card.loop->path() + " and " + again.path() +
                                 " are the same card (loop over " + card.backing + ")"),
              std::string::npos)
        << result.errors;
  }
  // A device that is not there.
  {
    const CliResult result = runCli({"write", "--yes", imagePath, "/dev/quenvory-no-such-card"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors,
              "ERROR: could not query device\nhint: /dev/quenvory-no-such-card: No such file or "
              "directory: no such device; 'quenvory list' shows the cards\n");
  }
  // A mounted card. Without its file system or its mount this case would
  // say nothing of the refusal: that fails, naming why.
  {
    std::string why;
    ASSERT_EQ(runProgram({"mkfs.ext2", "-q", "-F", card.loop->path()}, nullptr, &why), 0)
        << "no file system made on " << card.loop->path() << ", so no mounted card: " << why;
    const std::string mountPoint = scratch.path("mnt");
    ::mkdir(mountPoint.c_str(), 0700);
    ASSERT_EQ(runProgram({"mount", card.loop->path(), mountPoint}, nullptr, &why), 0)
        << "could not mount " << card.loop->path() << ", so no mounted card: " << why;
    const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path()});
    // Reading a mounted card is refused too: what it holds can change while
    // it is read, and a backup or a compare of it would say nothing sure.
    const CliResult read = runCli({"read", card.loop->path(), scratch.path("backup.S7img")});
    const CliResult compare = runCli({"compare", imagePath, card.loop->path()});
    runProgram({"umount", mountPoint});
    const std::string inUse = "ERROR: " + card.loop->path() + " is in use: " + card.loop->path() +
                              " on " + mountPoint + "; unmount it first";
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, inUse + "\n");
    for (const CliResult* reading : {&read, &compare}) {
      EXPECT_EQ(reading->status, 1);
      EXPECT_EQ(reading->errors, inUse + ", a mounted card can change while it is read\n");
    }
    EXPECT_FALSE(std::filesystem::exists(scratch.path("backup.S7img")));
  }
  const Bytes contents = card.contents();
  EXPECT_FALSE(std::equal(image.begin() + 8, image.end(), contents.begin()));
}

TEST(LoopDeviceCli, OnATerminalTheCardIsWrittenOnlyAfterAYes) {
  ScratchDir scratch;
  const Bytes image = completeImage(64);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  struct Case {
    const char* answer;
    int status;
    bool written;
  };
  for (const Case& c : {Case{"n\n", 1, false}, Case{"\n", 1, false}, Case{"yes please\n", 1, false},
                        Case{"y\n", 0, true}}) {
    SCOPED_TRACE(c.answer);
    LoopCard card(scratch, "card.img", 256);
    ATTACH_OR_SKIP(*card.loop);
    CliInput input;
    input.text = c.answer;
    input.terminal = true;
    const CliResult result = runCli({"write", imagePath, card.loop->path()}, input);
    EXPECT_EQ(result.status, c.status) << result.errors;
    // The question names what will be overwritten.
    EXPECT_NE(
        result.errors.find("Everything on this card will be overwritten:\n  " + card.loop->path() +
                           "  loop over " + card.backing + "  128.0 KiB (131072 bytes)"),
        std::string::npos)
        << result.errors;
    EXPECT_NE(result.errors.find("with " + imagePath + " (64 blocks, 32.0 KiB).\nWrite? [y/N] "),
              std::string::npos)
        << result.errors;
    const Bytes contents = card.contents();
    EXPECT_EQ(holds(contents, payloadOf(image)), c.written);
    if (!c.written) {
      EXPECT_TRUE(untouched(contents));
    }
  }
}

}  // namespace

namespace {

TEST(LoopDeviceCli, OnATerminalEachCardHasAProgressLineThatQuietTakesAway) {
  ScratchDir scratch;
  const Bytes image = completeImage(16384);
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, image);
  for (const bool quiet : {false, true}) {
    SCOPED_TRACE(quiet ? "quiet" : "progress");
    LoopCard first(scratch, "first.img", 16384);
    LoopCard second(scratch, "second.img", 16384);
    ATTACH_OR_SKIP(*second.loop);
    CliInput input;
    input.errorsOnTerminal = true;
    std::vector<std::string> args = {"write", "--yes", imagePath, first.loop->path(),
                                     second.loop->path()};
    if (quiet) args.push_back("--quiet");
    const CliResult result = runCli(args, input);
    EXPECT_EQ(result.status, 0) << result.errors;
    for (LoopCard* card : {&first, &second}) {
      const std::string path = card->loop->path();
      EXPECT_NE(result.errors.find(path + ": done"), std::string::npos) << result.errors;
      // The line of a card while it is written: its status and how far it is.
      const bool drawn = result.errors.find(path + ": 16384 block image  ") != std::string::npos;
      EXPECT_EQ(drawn, !quiet) << result.errors;
    }
    // Lines are redrawn in place (cursor up, line cleared), and taken away
    // at the end, leaving the results and what each card got below them.
    EXPECT_EQ(result.errors.find("\x1b[") != std::string::npos, !quiet);
    if (!quiet) {
      const std::string last = result.errors.substr(result.errors.rfind("\x1b["));
      EXPECT_TRUE(
          found(last, "^\x1b\\[J(/dev/loop[0-9]+: written and read back, [^\x1b]*\r\n){2}$"))
          << result.errors;
    }
  }
}

}  // namespace

namespace {

// The bar moves once every hundred blocks; the line still ends each pass at
// 100%, whatever the image's size: a 400-block image's bar stops at 75%.
TEST(LoopDeviceCli, OnATerminalTheProgressLineEndsEachPassAt100Percent) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("card.S7img");
  writeFile(imagePath, completeImage(400));
  LoopCard card(scratch, "card.img", 512);
  ATTACH_OR_SKIP(*card.loop);
  CliInput input;
  input.errorsOnTerminal = true;
  const CliResult result = runCli({"write", "--yes", imagePath, card.loop->path()}, input);
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_TRUE(found(result.errors, "400 block image  100%.*verifying")) << result.errors;
  EXPECT_TRUE(found(result.errors, "400 block image - verifying  100%")) << result.errors;
}

// An MBR with one partition of `sectors` sectors from sector `first`.
Bytes partitionedDisk(std::size_t blocks, std::uint32_t first, std::uint32_t sectors) {
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

TEST(LoopDeviceCli, ATrayFailsWhenAnyOfItsCardsFails) {
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

TEST(LoopDeviceCli, WhatIsWrongBeforeTheStartLeavesEveryCardOfTheTrayUntouched) {
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

// A card that refuses writes (here a loop device attached read-only, as the
// kernel marks a card whose lock switch is on) is marked before a write is
// tried.
TEST(LoopDeviceCli, ListShowsTheCardsOnStandardOutputAndWhichRefuseWrites) {
  ScratchDir scratch;
  LoopCard card(scratch, "listed.img", 256);
  ATTACH_OR_SKIP(*card.loop);
  const std::string lockedFile = scratch.path("locked.img");
  writeFile(lockedFile, Bytes(256 * kBlock, kUntouched));
  LoopDevice::Options readOnly;
  readOnly.readOnly = true;
  LoopDevice locked(lockedFile, readOnly);
  ATTACH_OR_SKIP(locked);
  const CliResult result = runCli({"list"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.errors, "");
  // Columns set apart by two spaces or more; a script reads them so.
  std::vector<std::string> rows;
  std::stringstream lines(result.output);
  for (std::string line; std::getline(lines, line);) {
    std::string row;
    for (std::size_t k = 0; k < line.size();) {
      const std::size_t run = line.find_first_not_of(' ', k) == std::string::npos
                                  ? line.size() - k
                                  : line.find_first_not_of(' ', k) - k;
      if (run >= 2) {
        row += '|';
        k += run;
      } else {
        row += line[k++];
      }
    }
    rows.push_back(row);
  }
  ASSERT_FALSE(rows.empty());
  EXPECT_EQ(rows[0], "TARGET|DISK|SIZE|WRITES|VENDOR|PRODUCT|IN USE");
  for (const std::string& row :
       {card.loop->path() + "|loop over " + card.backing + "|128.0 KiB|yes|loop|listed.img",
        locked.path() + "|loop over " + lockedFile + "|128.0 KiB|write-protected|loop|locked.img"})
    EXPECT_NE(std::find(rows.begin(), rows.end(), row), rows.end()) << row << "\n" << result.output;
}

TEST(LoopDeviceCli, AnImageThatCannotBeReadToItsEndHasNoHash) {
  ScratchDir scratch;
  // The image on a device whose file was cut short under it: its reads fail
  // part-way, after a sound header, as a bad sector's would.
  const std::string imagePath = scratch.path("image.S7img");
  writeFile(imagePath, completeImage(2000));
  LoopDevice device(imagePath);
  ATTACH_OR_SKIP(device);
  ASSERT_EQ(::truncate(imagePath.c_str(), 64 * 1024), 0);
  const CliResult result = runCli({"info", device.path()});
  EXPECT_EQ(result.status, 1) << result.output;
  EXPECT_EQ(result.errors, "ERROR: image file could not be read\n");
  EXPECT_NE(result.output.find("blocks: 2000 block image"), std::string::npos) << result.output;
  EXPECT_EQ(result.output.find("SHA-256"), std::string::npos) << result.output;
}

// An image the system gives no file size for (on a block device) is measured
// by reading it: its size is what the device holds, never -1 bytes.
TEST(LoopDeviceCli, InfoOfAnImageOnADeviceMeasuresWhatIsThere) {
  ScratchDir scratch;
  const std::string imagePath = scratch.path("image.S7img");
  std::vector<std::uint8_t> image = completeImage(100);
  image.resize(128 * 1024, 0);  // the device's size: 8 + 100 x 512 and what follows
  writeFile(imagePath, image);
  LoopDevice device(imagePath);
  ATTACH_OR_SKIP(device);
  const CliResult result = runCli({"info", device.path()});
  EXPECT_EQ(result.status, 0) << result.errors;
  EXPECT_NE(result.output.find("size: 131072 bytes, the header claims 51208 (8 + 100 x 512): "
                               "79864 bytes after the last block, never read"),
            std::string::npos)
      << result.output;
}

}  // namespace
