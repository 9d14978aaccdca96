// From the drive letter the operator names to the card's physical drive.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "card/disk_services.h"
#include "card/operator_ui.h"
#include "card/outcome.h"
#include "card/owned.h"

namespace card {

// The longest drive text whose DOS device name (text + ":") fits the 20-byte
// name buffer with its terminating zero.
constexpr std::size_t kMaxDriveText = 18;

// The physical drive path for a device path such as \Device\Harddisk1\DR1,
// or an empty string when the path names no disk number.
std::string physicalDrivePath(const std::string& devicePath);

// The disk number in a device path that names a disk: \Device\Harddisk,
// its digits, then a backslash or the end. -1 for any other answer, however
// much "Harddisk" it contains (\??\C:\Harddisk1 is a folder, not disk 1).
std::int64_t diskNumberOf(const std::string& devicePath);

// True for a device path that names a volume (\Device\HarddiskVolumeN)
// rather than a disk.
bool namesVolume(const std::string& devicePath);

// How long a busy volume is waited for. Right after a card goes in, the
// system's indexer and virus scanner read it for several seconds, and a
// console whose current folder is on it holds it open: the lock is tried
// again `pause` apart until `patience` has passed.
struct LockPatience {
  std::chrono::milliseconds pause{200};
  std::chrono::milliseconds patience{15000};
  // Waits one pause; empty, the thread sleeps. A test puts a clock of its
  // own here; the time waited counts either way.
  std::function<void(std::chrono::milliseconds)> wait;
};

// The card's device, open for the length of a run.
using CardDevice = Owned<CardDevices, NativeHandle, &CardDevices::closeDevice>;
// The block buffer a run moves the card's blocks through.
using BlockBuffer = Owned<CardDevices, void*, &CardDevices::freeBuffer>;
// One of the system's volumes, open for a query or locked for a run.
using Volume = Owned<DriveLetters, NativeHandle, &DriveLetters::closeVolume>;

// The card's volumes, locked and dismounted for the length of a run so that
// the system lets raw writes into their sectors. Unlocked and closed on
// release, the last locked first.
class VolumeLock {
 public:
  VolumeLock() = default;
  VolumeLock(VolumeLock&&) = default;
  VolumeLock& operator=(VolumeLock&& other) noexcept {
    if (this != &other) {
      release();
      volumes_ = std::move(other.volumes_);
    }
    return *this;
  }
  ~VolumeLock() { release(); }

  // Opens, locks and dismounts each volume in turn. A volume that is busy,
  // or that another program holds open, is tried again as `patience` says,
  // `beforeWait` called before each pause (false from it: the operator asked
  // to stop, and nothing more is tried); a volume holding a page file, and
  // any other refusal, is final. False when one cannot be locked: the ones
  // locked before it are released again, error() tells the refusal's system
  // error code, stopped() whether a stop ended the wait, and pageFile()
  // whether the volume holds a page file.
  bool acquire(DriveLetters& letters, const std::vector<std::string>& volumePaths,
               const LockPatience& patience, const std::function<bool()>& beforeWait = {});
  // The same for one volume.
  bool acquire(DriveLetters& letters, const std::string& volumePath, const LockPatience& patience) {
    return acquire(letters, std::vector<std::string>{volumePath}, patience);
  }
  void release();
  std::size_t size() const { return volumes_.size(); }
  std::uint32_t error() const { return error_; }
  bool stopped() const { return stopped_; }
  bool pageFile() const { return pageFile_; }

 private:
  std::vector<Volume> volumes_;
  std::uint32_t error_ = 0;
  bool stopped_ = false;
  bool pageFile_ = false;
};

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

  // The card's size in 512-byte blocks: its length as the system reports it,
  // or else what its geometry multiplies out to.
  std::int64_t blocks() const;

  // The volumes the system has mounted on the card's disk: every volume
  // whose extents lie on it. Where none is found, the letter's own volume.
  std::vector<std::string> volumesOnCard() const;

  // Locks and dismounts every volume on the card for the rest of the run.
  // While a volume is busy the status says the card is waited for, and
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
  // between tries. True once the card is out: no layout is then read afresh
  // on release, for asking the reader about its card would start it again.
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
};

// The refusal of a card whose sectors are not 512 bytes long, or an empty
// text for one whose sectors are.
std::string sectorSizeRefusal(const DriveGeometry& geometry);

// What the system tells of a disk that decides whether it is a card.
struct DiskFacts {
  bool removableMedia = false;  // its geometry says removable media
  std::uint32_t bus = kBusTypeUnknown;
  RemovalPolicy removal = RemovalPolicy::Unknown;
  bool bootPartitions = false;  // an EFI system, Microsoft reserved or recovery partition
  bool systemDisk = false;      // CardDevices::systemDisk
};

// What a disk is to the card writer.
enum class DiskVerdict {
  Card,
  NotRemovable,    // a fixed disk that is no reader's card
  BuiltIn,         // on the SD or MMC bus, but built into the PC (an eMMC)
  BootPartitions,  // on the SD or MMC bus and expected to be removed, but holds a PC's boot
                   // partitions
  SystemDisk,      // the disk the running system lives on
};

// Whether a disk counts as a card: never the disk the running system lives
// on, whatever it reports; then removable media; or a disk on the SD or MMC
// bus (some readers call their card fixed) that its system expects to be
// removed and that holds none of a PC's boot partitions: a laptop's eMMC is
// on that bus too.
DiskVerdict judgeDisk(const DiskFacts& facts);

// The facts of the disk open as `device` (for a run, or for queries only).
DiskFacts diskFacts(CardDevices& devices, NativeHandle device, const DriveGeometry& geometry);

inline bool countsAsCard(CardDevices& devices, NativeHandle device, const DriveGeometry& geometry) {
  return judgeDisk(diskFacts(devices, device, geometry)) == DiskVerdict::Card;
}

// What a drive letter leads to, found the way a run's open finds it: `list`
// shows the letter as a card only when a run would take it.
struct LetterDisk {
  std::int64_t disk = -1;  // the disk's number; -1 when the letter names no single disk
  bool noCard = false;     // the reader answers that it holds no card
  bool described = false;  // the disk answered what it is (its geometry)
  std::int64_t bytes = -1;
  DiskVerdict verdict = DiskVerdict::NotRemovable;
};
LetterDisk examineLetter(DriveLetters& letters, CardDevices& devices, const std::string& driveText);

// Opens the card behind the drive field's text for writing and makes sure it
// holds removable media. The text is a drive letter where the system has
// them, otherwise the path of the card's device. A card's disk that another
// program holds open for writing is waited for as `patience` says, with the
// status saying so, then opened letting that program's handle be. On a
// refusal the operator has been shown why, the result is empty with nothing
// left open, and `refusal` says what was shown.
Card openCard(DiskServices& disk, OperatorUi& ui, Outcome& refusal,
              const LockPatience& patience = {});
inline Card openCard(DiskServices& disk, OperatorUi& ui) {
  Outcome refusal;
  return openCard(disk, ui, refusal);
}

// The card of a device opened by its path rather than a drive letter (a
// block device on Linux): no volume to lock. A device that tells its sector
// size must have 512-byte sectors.
Card cardOfDevice(CardDevices& devices, OperatorUi& ui, CardDevice device, Outcome& refusal);

}  // namespace card
