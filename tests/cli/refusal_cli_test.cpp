// What is no card to overwrite is refused before anything is written: a
// card whose lock switch is on, a device over another, a card holding the
// image, one card by two names, a device that is not there, a mounted card.
// On loop devices (root only; skipped, saying why, elsewhere).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/cli/loop_card.h"
#include "tests/support/attach_or_skip.h"

namespace {

using namespace testing_support;

// A card whose lock switch is on is refused before anything is written, with
// the reason; a backup and a compare of it work as of any card.
TEST(RefusalCli, AWriteProtectedCardIsRefusedByNameAndStillReadAndCompared) {
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

TEST(RefusalCli, RefusesWhatIsNoCardToOverwrite) {
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

}  // namespace
