// The open card: what a run holds of it, and how it is opened from the
// drive field's text.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card/disk_facts.h"
#include "card/disk_services.h"
#include "card/letter_disk.h"
#include "card/operator_ui.h"
#include "card/outcome.h"
#include "card/owned.h"
#include "card/patience.h"
#include "card/volume_lock.h"

namespace card {

// The card's device, open for the length of a run.
using CardDevice = Owned<CardDevices, NativeHandle, &CardDevices::closeDevice>;
// The block buffer a run moves the card's blocks through.
using BlockBuffer = Owned<CardDevices, void*, &CardDevices::freeBuffer>;
// The open card and what a run holds with it: the device, the drive text it
// was opened with and, once locked, its volumes. The volumes outlive the
// device: the device is closed first, then the volumes unlocked.
class Card {
 public:
  Card() = default;
  // A card opened by the drive text `name`; `volumePath` is the letter's
  // volume (\\.\G:), empty where there is none to lock; `disk` is the
  // system's number for the card's disk, -1 where there is none; `letters`
  // are the system's drive letters and volumes, nullptr where it has none.
  Card(CardDevice device, std::string name, std::string volumePath, DriveGeometry geometry,
       std::int64_t disk = -1, DriveLetters* letters = nullptr)
      : device_(std::move(device)),
        letters_(letters),
        name_(std::move(name)),
        volumePath_(std::move(volumePath)),
        geometry_(geometry),
        disk_(disk) {}
  Card(Card&& other) noexcept = default;
  Card& operator=(Card&& other) noexcept {
    if (this != &other) {
      release();
      device_ = std::move(other.device_);
      letters_ = other.letters_;
      name_ = std::move(other.name_);
      volumePath_ = std::move(other.volumePath_);
      geometry_ = other.geometry_;
      disk_ = other.disk_;
      volume_ = std::move(other.volume_);
      ejected_ = other.ejected_;
      waited_ = other.waited_;
    }
    return *this;
  }
  ~Card() { release(); }

  explicit operator bool() const { return static_cast<bool>(device_); }
  NativeHandle device() const { return device_.get(); }
  // The drive text the card was opened with, whatever the window shows now.
  const std::string& name() const { return name_; }
  const DriveGeometry& geometry() const { return geometry_; }
  std::int64_t disk() const { return disk_; }
  // The patience the run has spent waiting for this card so far: its disk's
  // open, then its volumes. Every wait of the run draws on the same patience.
  std::chrono::milliseconds waited() const { return waited_; }
  void setWaited(std::chrono::milliseconds waited) { waited_ = waited; }

  // The card's size in 512-byte blocks: its length as the system reports it,
  // or else what its geometry multiplies out to.
  std::int64_t blocks() const;

  // The volumes the system has mounted on the card's disk: every volume
  // whose extents lie on it. Where none is found, the letter's own volume.
  std::vector<std::string> volumesOnCard() const;

  // Locks and dismounts every volume on the card for the rest of the run.
  // While a volume is busy the status says the card is waited for, within
  // what is left of the patience after the disk's own wait, and
  // events are processed between tries; `status`, when given, is put back
  // once the wait is over. When one cannot be locked the operator is told
  // why and the refusal returned, with the lock's system error code; a
  // volume holding a page file is the system's own disk. A stop asked for
  // during the wait ends it at once with `stopText` (caption "MMC ERROR",
  // ending Stopped at block 0). The card stays open for the caller to
  // release in its order.
  std::optional<Outcome> lockVolumes(OperatorUi& ui, const LockPatience& patience,
                                     const std::string& status = {},
                                     const std::string& stopText = "stopped at block 0");

  // A card that refuses writes (its lock switch is on) is refused: "the
  // card at >G is write-protected". Empty when it takes writes.
  std::optional<Outcome> refuseWriteProtected(OperatorUi& ui);

  // A file at `path` (UTF-8) that lies on this card, where writing the card
  // would pull it from under the run, is refused: "image file is on the card
  // at >G, copy it to another drive first". Empty when it lies elsewhere.
  std::optional<Outcome> refuseFileOnCard(OperatorUi& ui, const std::string& path);

  void setGeometry(const DriveGeometry& geometry) { geometry_ = geometry; }

  // Closes a card that was refused before it was used: there is no layout
  // to read afresh.
  void closeUnused() {
    device_.release();
    volume_.release();
  }

  // Ejects the card from its reader, tried again as `patience` says for a
  // few seconds while the reader refuses or keeps the card, events processed
  // between tries; a stop asked for ends the tries. A reader with no eject,
  // or a card that calls itself fixed media (it never leaves its slot), is
  // asked once. True once the card is out: no layout is then read afresh on
  // release, for asking the reader about its card would start it again.
  bool eject(OperatorUi& ui, const LockPatience& patience);
  bool ejected() const { return ejected_; }

  // Asks the system to read the card's layout afresh (unless the card was
  // ejected), closes the device, then unlocks the volumes.
  void release() {
    if (device_ && !ejected_) device_.services().updateLayout(device_.get());
    device_.release();
    volume_.release();
  }

 private:
  CardDevice device_;
  DriveLetters* letters_ = nullptr;
  std::string name_;
  std::string volumePath_;
  DriveGeometry geometry_;
  std::int64_t disk_ = -1;
  VolumeLock volume_;
  bool ejected_ = false;
  std::chrono::milliseconds waited_{0};
};

// What a wait for the card does before each pause: the status says once
// that the card is waited for ("waiting for the card at >G to be free"),
// then events are processed; false when the operator asked to stop.
// `waited` tells whether it was called.
std::function<bool()> waitingForCard(OperatorUi& ui, const std::string& name, bool& waited);

// Opens the card behind the drive field's text for writing and makes sure it
// holds removable media. The text is a drive letter where the system has
// them, otherwise the path of the card's device. A card's disk that another
// program holds open for writing is waited for as `patience` says, with the
// status saying so, then opened letting that program's handle be. On a
// refusal the operator has been shown why, the result is empty with nothing
// left open, and `refusal` says what was shown. A stop during the disk's wait
// ends the run with `stoppedText`, the run's own words for a stop before
// anything moved.
Card openCard(DiskServices& disk, OperatorUi& ui, Outcome& refusal,
              const LockPatience& patience = {},
              const std::string& stoppedText = "stopped at block 0, nothing written");
inline Card openCard(DiskServices& disk, OperatorUi& ui) {
  Outcome refusal;
  return openCard(disk, ui, refusal);
}

// The card of a device opened by its path rather than a drive letter (a
// block device on Linux): no volume to lock. A device that tells its sector
// size must have 512-byte sectors.
Card cardOfDevice(CardDevices& devices, OperatorUi& ui, CardDevice device, Outcome& refusal);

}  // namespace card
