#include "cli/checks.h"

#include <filesystem>
#include <memory>

#include "card/card_device.h"
#include "card/messages.h"
#include "cli/command_parts.h"
#include "cli/hints.h"
#include "cli/platform.h"
#include "cli/terminal.h"

namespace cli {
namespace {

// What the backup's run says when its file cannot be made.
constexpr const char* kBackupWriteFailed = "writing image file.";

void refuseBackup(const std::string& path, std::uint32_t error) {
  card::Outcome outcome;
  outcome.ending = card::Ending::Refused;
  outcome.systemError = error;
  outcome.about = card::About::BackupFile;
  const std::string hint = hintAfterRun(outcome, std::string(), RunFiles{std::string(), path});
  writeErrors(messageLine(card::systemErrorText(kBackupWriteFailed, error), card::kErrorCaption) +
              "\n" + (hint.empty() ? std::string() : "hint: " + hint + "\n"));
}

// Makes a new file beside `path` as the backup's run does, and takes it away
// again; with `place`, also tries to put it at `path` (only ever asked for a
// name that is a folder, which no file replaces). The system's error code,
// 0 when it went.
std::uint32_t probeBackup(const std::string& path, bool place) {
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  card::ImageFiles& files = disk->files();
  std::string temporary;
  card::NativeHandle file = 0;
  if (!files.createBackup(path, temporary, file)) return files.lastError();
  files.closeBackup(file);
  std::uint32_t error = 0;
  if (place && !files.placeBackup(temporary, path)) error = files.lastError();
  files.removeBackup(temporary);
  return error;
}

}  // namespace

bool imageAccepted(const std::string& path, const ImageFacts& facts) {
  // A record without its hashes would not say which image a card got.
  if (facts.opens && facts.header.accepted && facts.hashUnavailable) {
    writeErrors(messageLine(hashUnavailableWords(), card::kErrorCaption) + "\n");
    return false;
  }
  if (facts.opens && facts.header.accepted) return true;
  // A folder opens for reading on some systems and then reads as nothing:
  // its header is refused, and the hint says what it is.
  const std::string message = facts.opens ? facts.header.failure : "image file does not open";
  const std::string hint = isFolder(path) || !facts.opens
                               ? imageOpenHint(path, facts.openError)
                               : headerHint(path, facts.header, facts.bytes);
  writeErrors(messageLine(message, card::kErrorCaption) + "\n" +
              (hint.empty() ? std::string() : "hint: " + hint + "\n"));
  return false;
}

bool backupPlaceAccepted(const std::string& path, bool yes) {
  if (isFolder(path)) {
    refuseBackup(path, probeBackup(path, true));
    return false;
  }
  if (const std::uint32_t error = probeBackup(path, false); error != 0) {
    refuseBackup(path, error);
    return false;
  }
  return mayReplace(path, yes);
}

bool backupFolderAccepted(const std::string& sample) {
  const std::uint32_t error = probeBackup(sample, false);
  if (error == 0) return true;
  refuseBackup(sample, error);
  return false;
}

bool cardAccepted(const std::string& name, const std::vector<std::string>& files,
                  disks::CardUse use, Console& console, const std::string& prefix,
                  std::string& refusal) {
  refusal = disks::cardRefusal(name, files, use);
  if (!refusal.empty()) {
    console.line(prefix + messageLine(refusal, card::kErrorCaption));
    return false;
  }
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  ConsoleUi ui(console, name, prefix, files.empty() ? std::string() : files[0]);
  card::Outcome outcome;
  card::Card card = card::openCard(*disk, ui, outcome);
  if (card && use == disks::CardUse::Write) {
    if (auto locked = card.refuseWriteProtected(ui)) outcome = *locked;
  }
  // Closed before anything is asked: the run opens the card afresh and judges
  // it again, so a card changed while the question waited is still refused.
  if (card) card.closeUnused();
  if (outcome.ending == card::Ending::Done && outcome.text.empty()) return true;
  refusal = outcome.text;
  hintAfter(outcome, ui, RunFiles{});
  return false;
}

}  // namespace cli
