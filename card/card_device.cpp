#include "card/card_device.h"

#include <algorithm>

#include "card/image_file.h"
#include "card/messages.h"

namespace card {
std::function<bool()> waitingForCard(OperatorUi& ui, const std::string& name, bool& waited) {
  return [&ui, name, &waited] {
    if (!waited) ui.showWaiting("waiting for the card at >" + name + " to be free");
    waited = true;
    ui.processEvents();
    return !ui.stopRequested();
  };
}

std::int64_t Card::blocks() const {
  std::int64_t bytes = 0;
  if (!device_.services().deviceLength(device_.get(), bytes)) {
    const DriveGeometry& g = geometry_;
    bytes = g.cylinders * g.tracksPerCylinder * g.sectorsPerTrack * g.bytesPerSector;
  }
  return bytes / std::int64_t(kBlockSize);
}

std::vector<std::string> Card::volumesOnCard() const {
  std::vector<std::string> onCard;
  std::vector<std::string> all;
  if (device_ && letters_ != nullptr && disk_ >= 0 && letters_->listVolumes(all)) {
    for (const std::string& path : all)
      if (volumeLiesOnDisk(*letters_, path, disk_)) onCard.push_back(path);
  }
  if (onCard.empty() && !volumePath_.empty()) onCard.push_back(volumePath_);
  return onCard;
}

std::optional<Outcome> Card::lockVolumes(OperatorUi& ui, const LockPatience& patience,
                                         const std::string& status, const std::string& stopText) {
  const std::vector<std::string> paths = volumesOnCard();
  if (paths.empty() || letters_ == nullptr) return std::nullopt;
  bool waited = false;
  const bool locked =
      volume_.acquire(*letters_, paths, patience, waitingForCard(ui, name_, waited), waited_);
  waited_ = volume_.spent();
  if (waited && !status.empty()) ui.setStatus(status);
  if (locked) return std::nullopt;
  if (volume_.stopped())
    return shownOutcome(ui, Ending::Stopped, stopText, kCardErrorCaption, 0, 0);
  if (volume_.pageFile())
    return shownOutcome(ui, Ending::Refused,
                        "your system does not recognize a removable media at >" + name_,
                        kErrorCaption, volume_.error());
  Outcome refusal = shownOutcome(ui, Ending::Refused,
                                 "could not lock the card at >" + name_ +
                                     ", close every program and window that uses it and try again",
                                 kErrorCaption, volume_.error());
  refusal.cardBusy = true;
  return refusal;
}

bool Card::eject(OperatorUi& ui, const LockPatience& patience) {
  if (!device_) return false;
  // A few seconds: a reader busy with the card's last writes lets it go
  // after a moment, and one that cannot eject at all should not hold the
  // closing message for long. The operator may end them sooner.
  LockPatience few = patience;
  few.patience = std::min(patience.patience, std::chrono::milliseconds(3000));
  Waiting waiting(few, [&ui] {
    ui.processEvents();
    return !ui.stopRequested();
  });
  // A card that calls itself fixed media stays where it is whatever the
  // reader is told: its reader's word that it still holds it never changes.
  const bool staysIn = geometry_.mediaType == kFixedMedia;
  CardDevices& devices = device_.services();
  while (!devices.ejectMedia(device_.get())) {
    // A reader, or a system, with no eject at all refuses every time.
    if (devices.errorKind(devices.lastError()) == ErrorKind::Unsupported) return false;
    if (staysIn || !waiting.again()) return false;
  }
  ejected_ = true;
  return true;
}

std::optional<Outcome> Card::refuseWriteProtected(OperatorUi& ui) {
  if (!device_ || !device_.services().writeProtected(device_.get())) return std::nullopt;
  const std::string card = name_.empty() ? "the card" : "the card at >" + name_;
  return shownOutcome(ui, Ending::Refused, card + " is write-protected", kErrorCaption);
}

std::optional<Outcome> Card::refuseFileOnCard(OperatorUi& ui, const std::string& path) {
  if (!device_ || !device_.services().fileOnDevice(device_.get(), path)) return std::nullopt;
  return shownOutcome(ui, Ending::Refused,
                      "image file is on the card at >" + name_ + ", copy it to another drive first",
                      kErrorCaption);
}

}  // namespace card
