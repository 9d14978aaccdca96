// The command line as an operator or a script meets it: what each mistake
// in the arguments is told, and that `info` reads an image as a write would.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "cli/record.h"
#include "tests/cli/cli_runner.h"
#include "tests/support/test_support.h"
#include "version/version.h"

namespace {

using namespace testing_support;

TEST(Arguments, UsageErrorsExitTwoNamingTheProblem) {
  ScratchDir scratch;
  const std::string image = scratch.path("card.S7img");
  writeFile(image, completeImage(4));
  struct Case {
    std::vector<std::string> args;
    std::string said;
  };
  const Case cases[] = {
      {{}, "A subcommand is required"},
      {{"frobnicate"}, "frobnicate"},
      {{"list", "extra"}, "extra"},
      {{"info"}, "IMAGE is required"},
      {{"write"}, "IMAGE is required"},
      {{"write", image}, "TARGET is required"},
      {{"write", "--frob", image, "/dev/loop0"}, "--frob"},
      {{"write", "--yes", image, "G"}, "TARGET must be a whole-disk device"},
      {{"write", "--yes", image, "sdb"}, "not 'sdb'"},
      {{"write", "--yes", image, "/dev/null", "/dev/null"}, "named twice"},
      {{"write", "--yes", image, "/dev/loop0", "/dev/loop1", "--backup", scratch.path("b")},
       "--backup takes one target"},
      {{"write", "--yes", image, "/dev/loop0", "--backup", "a", "--backup-dir", "d"}, "excludes"},
      {{"write", "--yes", image, "/dev/loop0", "--backup-dir", scratch.path("nowhere")},
       "is not a folder"},
      {{"write", "--yes", "--backup", image, image, "/dev/loop0"}, "--backup names the image file"},
      {{"write", "--yes", "--record", image, image, "/dev/loop0"}, "--record names the image file"},
      {{"write", "--yes", "--record", scratch.path("r"), "--backup", scratch.path("r"), image,
        "/dev/loop0"},
       "--backup and --record name the same file"},
      {{"read", "/dev/loop0"}, "IMAGE is required"},
      {{"read", "G", image}, "TARGET must be a whole-disk device"},
      {{"compare", image}, "TARGET is required"},
      {{"compare", image, "G:"}, "TARGET must be a whole-disk device"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    const CliResult result = runCli(c.args);
    EXPECT_EQ(result.status, 2) << result.errors;
    EXPECT_NE(result.errors.find(c.said), std::string::npos) << result.errors;
    EXPECT_NE(result.errors.find("--help"), std::string::npos) << result.errors;
    EXPECT_EQ(result.output, "");
  }
}

// Every help in plain words, whole in a terminal of 80 columns: the manual
// page is made of these texts.
TEST(Arguments, EveryCommandHasItsHelpInPlainWordsThatFitATerminal) {
  const std::vector<std::string> commands = {"", "list", "info", "write", "read", "compare"};
  for (const std::string& command : commands) {
    SCOPED_TRACE(command);
    std::vector<std::string> args;
    if (!command.empty()) args.push_back(command);
    args.push_back("--help");
    const CliResult result = runCli(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.output.find("Usage: quenvory " + command), std::string::npos) << result.output;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 79u) << line;
    // The option parser's own words, which say nothing to an operator.
    for (const char* word : {"TEXT", "REQUIRED", "Excludes", "Needs", "SUBCOMMAND"})
      EXPECT_EQ(result.output.find(word), std::string::npos) << word << "\n" << result.output;
  }
  // What an operator asks: the program's help answers, and the manual page
  // has a section for each.
  const CliResult program = runCli({"--help"});
  for (const char* heading :
       {"Rights", "Finding the card", "What is refused", "Stops", "Exit status", "Examples"})
    EXPECT_TRUE(found(program.output, std::string("\n") + heading + ":\n  [^ ]")) << heading;
  // Each column of the record is described, the ones added later too.
  const CliResult write = runCli({"write", "--help"});
  std::istringstream columns(cli::Record::kHeader);
  for (std::string column; std::getline(columns, column, ',');)
    EXPECT_TRUE(found(write.output, "\n  " + column + "  +[a-z]")) << column << "\n"
                                                                   << write.output;
  EXPECT_TRUE(found(write.output, "\nBackup files:\n")) << write.output;
  for (const char* option :
       {"--yes", "--no-verify", "--record", "--backup", "--backup-dir", "--quiet"})
    EXPECT_NE(write.output.find(option), std::string::npos) << option;
}

// A technician tells which build wrote a card: the version on standard
// output, whatever else is on the line, and nothing done.
TEST(Arguments, VersionNamesTheVersionAndItsRevision) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"},
        {"--version", "write", "nothing.S7img", "/dev/null"}}) {
    const CliResult result = runCli(args);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, std::string("quenvory ") + QUENVORY_VERSION_TEXT + "\n");
    EXPECT_EQ(result.errors, "");
  }
  EXPECT_EQ(std::string(QUENVORY_VERSION_TEXT).rfind(QUENVORY_VERSION, 0), 0u);
}

TEST(Info, ShowsTheHeaderCheckTheSizeAndBothHashes) {
  ScratchDir scratch;
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    int status;
    std::vector<std::string> said;
    // SHA-256 of the whole file and of the blocks a write puts on a card,
    // worked out once outside this program; "" when none is shown.
    const char* file;
    const char* blocks;
  };
  std::vector<std::uint8_t> extra = completeImage(3);
  extra.resize(extra.size() + 100, 0x77);
  const Case cases[] = {
      {"complete",
       completeImage(3),
       0,
       {"header: accepted", "blocks: 3 block image", "size: 1544 bytes, the header claims 1544",
        "(the 3 blocks a write puts on the card)\n"},
       "d538a7ba76181f3e7b2c77b77c65525d3f3debd755272afd6c3dea0c8cd90fe2",
       "14af48ac5eb2fecc2dceda3e48b26726dd15b1cf563cd8b40a49fb4104622b81"},
      // The short block, completed with the rest of the block before it,
      // counts: the hash is that of what the card receives.
      {"short",
       imageBytes(1000, 1000 - 1236, 600 * 512 + 256),
       0,
       {"blocks: 1000 block image", "bytes short, a write warns at block 600",
        "(the 601 blocks a write puts on the card, the last one completed as a write completes "
        "it)"},
       "87309bbb5cd805caf609f570252be16c11e88f78dd4f545dbaa7c0d7c547148c",
       "245b0b2ee62ad5c9830767fcf79b87c8fc615319d16178dc2b0e26234d65d846"},
      // No block in the file: the one block a write puts out is zeros.
      {"eprom",
       imageBytes(3446, 2210, 0),
       0,
       {"3446 block image 128k Eprom"},
       "dc59a41846a3e14c1e4e60266d3735b19bad0480017bed68775c535a642b2ee5",
       "076a27c79e5ace2a3d47f9dd2e83e4ff6ea8872b3c2218f66c92b89b55f36560"},
      {"extra bytes",
       extra,
       0,
       {"100 bytes after the last block, never read"},
       "ba23e195972ac746754b77d1e0eff9207451a55c98e8b187d73e6e4a2ee5b319",
       "14af48ac5eb2fecc2dceda3e48b26726dd15b1cf563cd8b40a49fb4104622b81"},
      {"version 0.9",
       imageBytes(100, -1134, 0),
       1,
       {"header: this is V0.9 Image File, use with V0.9"},
       "fbaf587988c2d89f6130d78c790b722f81a129fe95c3f885f74e2d297e218c4e",
       ""},
      {"no check word",
       imageBytes(100, 0, 0),
       1,
       {"header: image header failed (iCheck & iLastBlock)"},
       "26ab39150b6330152576e4c7fa7e0caa804b5e9db0476a3e48e6b53f1cda8279",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = scratch.path(c.name);
    writeFile(path, c.bytes);
    const CliResult result = runCli({"info", path});
    EXPECT_EQ(result.status, c.status) << result.errors;
    for (const std::string& text : c.said)
      EXPECT_NE(result.output.find(text), std::string::npos) << result.output;
    EXPECT_NE(result.output.find("\nimage_sha256: " + std::string(c.file)), std::string::npos)
        << result.output;
    if (*c.blocks != '\0') {
      EXPECT_NE(result.output.find("\nblocks_sha256: " + std::string(c.blocks)), std::string::npos)
          << result.output;
    } else {
      EXPECT_EQ(result.output.find("blocks_sha256"), std::string::npos) << result.output;
    }
  }
  const std::string notThere = scratch.path("not-there.S7img");
  const CliResult missing = runCli({"info", notThere});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.errors,
            "ERROR: image file does not open\nhint: " + notThere + ": No such file or directory\n");
}

}  // namespace
