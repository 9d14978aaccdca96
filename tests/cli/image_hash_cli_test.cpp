// What info and the record say of an image: its hashes as sha256sum finds
// them on the file and on the card a write made, and its size where the
// system gives none. On loop devices (root only; skipped, saying why,
// elsewhere).
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/cli_runner.h"
#include "tests/cli/loop_card.h"
#include "tests/support/attach_or_skip.h"

namespace {

using namespace testing_support;

// One name per hash, the same in info and in the record: image_sha256 the
// whole file's, blocks_sha256 that of the blocks the card receives, which
// for a short image ends with its short block as the write completed it.
// sha256sum, run on the file and on what the card holds, is the witness.
TEST(ImageHashCli, InfoAndTheRecordNameTheSameHashesAsSha256sumFindsThem) {
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

TEST(ImageHashCli, AnImageThatCannotBeReadToItsEndHasNoHash) {
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
TEST(ImageHashCli, InfoOfAnImageOnADeviceMeasuresWhatIsThere) {
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

// A short block that begins a read of the image (the write reads the image a
// batch of 2048 blocks at a time) is completed with the tail of the block
// before it, which the batch before held: the hashes follow the write's own
// reading, so what info and the record name is what the card received,
// read back from the device itself.
TEST(ImageHashCli, AShortBlockAtABatchsStartIsHashedAsTheCardReceivesIt) {
  ScratchDir scratch;
  constexpr std::size_t kWholeBlocks = 2048;
  const std::string imagePath = scratch.path("short.S7img");
  writeFile(imagePath, imageBytes(3000, 3000 - 1236, kWholeBlocks * kBlock + 100));
  LoopCard card(scratch, "card.img", 4096);
  ATTACH_OR_SKIP(*card.loop);
  const std::string record = scratch.path("record.csv");
  const CliResult write =
      runCli({"write", "--yes", "--record", record, imagePath, card.loop->path()});
  ASSERT_EQ(write.status, 0) << write.errors;
  const CliResult info = runCli({"info", imagePath});
  EXPECT_EQ(info.status, 0) << info.errors;

  std::string onCard;
  const std::string head = "head -c " + std::to_string((kWholeBlocks + 1) * kBlock) + " " +
                           card.loop->path() + " | sha256sum";
  ASSERT_EQ(runProgram({"sh", "-c", head}, &onCard), 0);
  onCard = onCard.substr(0, onCard.find(' '));
  ASSERT_EQ(onCard.size(), 64u) << onCard;
  EXPECT_EQ(recordField(readText(record), "blocks_sha256"), onCard);
  EXPECT_NE(info.output.find("\nblocks_sha256: " + onCard + "  (the 2049 blocks"),
            std::string::npos)
      << info.output;
}

// The system's libcrypto as the loader finds it ("" when it lists none).
std::string systemLibcrypto() {
  std::string cache;
  runProgram({"ldconfig", "-p"}, &cache);
  std::istringstream lines(cache);
  for (std::string line; std::getline(lines, line);)
    if (found(line, "^[[:space:]]*libcrypto\\.so\\.[0-9]+ \\(.*x86-64.*\\) => /"))
      return line.substr(line.find("=> ") + 3);
  return {};
}

// Without the system's libcrypto (a file of nothing bound over it, in a mount
// namespace of the command's own): only what needs a hash is refused. A
// plain write does not load it and writes the card; info shows the header
// and names the library that is missing; a write with a record is refused
// before any card is touched, as a record without its hashes could not say
// which image a card got.
TEST(ImageHashCli, WithoutTheSystemsLibcryptoOnlyWhatNeedsAHashIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "hiding the system's libcrypto takes root";
  const std::string library = systemLibcrypto();
  ASSERT_FALSE(library.empty()) << "ldconfig -p lists no libcrypto";
  ScratchDir scratch;
  const std::string imagePath = scratch.path("image.S7img");
  writeFile(imagePath, completeImage(40));
  LoopCard written(scratch, "written.img", 64), untouched(scratch, "untouched.img", 64);
  ATTACH_OR_SKIP(*written.loop);
  ATTACH_OR_SKIP(*untouched.loop);
  const auto hidden = [&](std::vector<std::string> args, std::string& output,
                          std::string& errors) {
    output.clear();
    errors.clear();
    std::vector<std::string> argv = {"unshare", "--mount", "sh", "-c",
                                     "mount --bind /dev/null \"$0\" && exec \"$@\"", library,
                                     QUENVORY_CLI};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram(argv, &output, &errors);
  };
  const std::string words =
      "^ERROR: the system's SHA-256 \\(libcrypto\\.so\\.[0-9]+\\) could not be set up\n$";

  std::string output, errors;
  EXPECT_EQ(hidden({"write", "--yes", "--quiet", "--no-verify", imagePath, written.loop->path()},
                   output, errors),
            0)
      << errors;

  EXPECT_EQ(hidden({"info", imagePath}, output, errors), 1) << errors;
  EXPECT_NE(output.find("header: accepted\n"), std::string::npos) << output;
  EXPECT_TRUE(found(errors, words)) << errors;

  const std::string record = scratch.path("record.csv");
  EXPECT_EQ(hidden({"write", "--yes", "--record", record, imagePath, untouched.loop->path()},
                   output, errors),
            1)
      << errors;
  EXPECT_TRUE(found(errors, words)) << errors;

  const Bytes image = completeImage(40);
  const Bytes onCard = written.contents();
  EXPECT_TRUE(std::equal(image.begin() + 8, image.end(), onCard.begin()));
  const Bytes spared = untouched.contents();
  EXPECT_EQ(std::count(spared.begin(), spared.end(), kUntouched), std::ptrdiff_t(spared.size()));
  EXPECT_EQ(readText(record).find("image_sha256"), std::string::npos);
}

}  // namespace
