// info: an image file's header, size and hashes, before any card is
// touched.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <memory>

#include "card/messages.h"
#include "cli/command_parts.h"
#include "cli/commands.h"
#include "cli/image_facts.h"
#include "cli/platform.h"
#include "cli/terminal.h"

namespace cli {
namespace {

struct InfoArgs {
  std::string image;
};

// What a file named as an image is not, as a message and its hint.
int refuseInfo(const std::string& message, const std::string& hint) {
  writeErrors(messageLine(message, card::kErrorCaption) + "\n" +
              (hint.empty() ? std::string() : "hint: " + hint + "\n"));
  return kFailure;
}

int infoCommand(const InfoArgs& args) {
  // A folder opens for reading on some systems and then reads as nothing.
  if (isFolder(args.image))
    return refuseInfo("image file does not open", imageOpenHint(args.image, 0));
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  const ImageFacts facts = imageFacts(disk->files(), args.image, true);
  if (!facts.opens)
    return refuseInfo("image file does not open", imageOpenHint(args.image, facts.openError));
  std::string out = args.image + "\n";
  if (!facts.header.accepted) {
    out += "header: " + facts.header.failure + "\n";
    out += "size: " + std::to_string(facts.bytes) + " bytes\n";
    if (!facts.fileSha256.empty()) out += "image_sha256: " + facts.fileSha256 + "\n";
    writeOutput(out);
    const std::string hint = headerHint(args.image, facts.header, facts.bytes);
    if (!hint.empty()) writeErrors("hint: " + hint + "\n");
    return kFailure;
  }
  const std::int64_t count = std::max<std::int64_t>(facts.header.blockCount, 0);
  const std::int64_t claimed = card::kHeaderSize + count * std::int64_t(card::kBlockSize);
  out += "header: accepted\n";
  out += "blocks: " + card::blockCountText(facts.header.blockCount) + "\n";
  out += "size: " + std::to_string(facts.bytes) + " bytes, the header claims " +
         std::to_string(claimed) + " (8 + " + std::to_string(count) + " x 512)";
  if (facts.bytes < claimed)
    out += ": " + std::to_string(claimed - facts.bytes) + " bytes short, a write warns at block " +
           std::to_string(std::max<std::int64_t>(0, facts.bytes - card::kHeaderSize) /
                          std::int64_t(card::kBlockSize));
  else if (facts.bytes > claimed)
    out += ": " + std::to_string(facts.bytes - claimed) + " bytes after the last block, never read";
  out += "\n";
  if (facts.blocksSha256.empty()) {
    writeOutput(out);
    writeErrors(messageLine(facts.hashUnavailable ? hashUnavailableWords()
                                                  : "image file could not be read",
                            card::kErrorCaption) +
                "\n");
    return kFailure;
  }
  // The same two names as the record's columns.
  out += "image_sha256: " + facts.fileSha256 + "  (the whole file)\n";
  out += "blocks_sha256: " + facts.blocksSha256 + "  (the " + std::to_string(facts.blocksOnCard) +
         " blocks a write puts on the card";
  if (facts.blocksOnCard < count) out += ", the last one completed as a write completes it";
  out += ")\n";
  writeOutput(out);
  return kSuccess;
}

}  // namespace

void addInfoCommand(CLI::App& app, int& status) {
  const auto args = std::make_shared<InfoArgs>();
  CLI::App* command = app.add_subcommand(
      "info",
      "Checks an image file: its header, its size, the SHA-256 of the file (image_sha256) and "
      "of the blocks a card receives (blocks_sha256).");
  command->add_option("IMAGE", args->image, "the .S7img file")->required();
  command->callback([args, &status] { status = infoCommand(*args); });
}

}  // namespace cli
