// One simulated drive: what a letter leads to and how its disk, its volume
// and its reader answer. The simulated services use it; the demonstration
// build reads it from text (disks/simulated_drive_text.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disks/card_types.h"

namespace disks {

struct SimulatedDrive {
  // A removable card or a fixed disk answers the lookup of its letter with
  // its disk (\Device\Harddisk1\DR1), as older systems do; a card behind a
  // volume answers with the volume (\Device\HarddiskVolume5), as today's
  // systems do, and its volume tells which disk it lives on.
  enum class Kind { RemovableCard, FixedDisk, CdRom, VolumeCard };
  Kind kind = Kind::RemovableCard;
  std::string file;  // the card's (or fixed disk's) contents
  std::string diskNumber = "1";
  std::string devicePath;       // when set, the device name lookup answers this
  std::int64_t blocks = 65536;  // the card's size in 512-byte sectors
  bool openFails = false;
  bool geometryFails = false;
  bool lengthFails = false;           // only the geometry tells the size then
  std::int64_t refuseBlock = -1;      // a write that covers this block fails ...
  std::uint32_t refuseError = 0;      // ... with this system error code
  std::int64_t corruptBlock = -1;     // this block reads back altered
  bool readFails = false;             // reads fail with refuseError
  std::int64_t unreadableBlock = -1;  // a read that covers this block fails with refuseError
  std::int64_t changingBlock = -1;    // this block reads differently each time after its first
  // A read or write of more blocks than this fails with error 1450 (the
  // system's resources do not suffice), as some readers answer a transfer
  // larger than they take; 0: any size is taken.
  std::int64_t largestTransfer = 0;
  // The volume's answers.
  std::string volumeNumber = "5";
  bool volumeOpenFails = false;
  std::uint32_t volumeDeviceType = kFileDeviceDisk;
  std::int64_t volumeDeviceNumber = -1;      // -1: the disk number
  std::vector<std::uint32_t> volumeExtents;  // empty: one extent on the disk
  bool deviceNumberFails = false;
  bool extentsFails = false;
  int lockRefusals = 0;         // lock attempts refused before one succeeds; -1: all
  std::uint32_t lockError = 5;  // the refusals' error: access denied, a busy volume
  // The reader is empty: its volume and disk answer "not ready".
  bool notReady = false;
  std::uint32_t sectorBytes = 512;
  std::uint32_t flushError = 0;  // when not 0, flushing the card fails so
  // Files whose path begins with this folder lie on the card (as if it were
  // where the card's volume is mounted); empty: none does.
  std::string folder;
  // The card's lock switch is on: every write fails with error 19.
  bool writeProtected = false;
  // The bus the disk says it hangs on (card::kBusTypeSd for a card reader that
  // calls its card fixed media).
  std::uint32_t busType = card::kBusTypeUnknown;
  // The disk the running system lives on.
  bool systemDisk = false;
  // How the system expects the disk to leave: a reader's card at any time.
  card::RemovalPolicy removalPolicy = card::RemovalPolicy::SurpriseRemoval;
  // The disk holds an EFI system, Microsoft reserved or recovery partition.
  bool bootPartitions = false;
  // A page file lies on the disk's volume: it is the system's disk, and its
  // volume's lock is refused (with lockError) for as long as it is asked.
  bool pageFile = false;
  // Opens of the disk for the run alone refused with a sharing violation
  // (another program holds it for writing) before one succeeds; -1: all.
  // Opens that let the other program be always succeed.
  int exclusiveOpenRefusals = 0;
  // Opens of the volume for its lock refused with a sharing violation before
  // one succeeds; -1: all.
  int volumeOpenRefusals = 0;
  // Ejects refused before one takes the card out; -1: all.
  int ejectRefusals = 0;
  // The refusals' error: by default the reader's word that it still holds
  // the card (busy); a reader that rejects the eject's command answers 1.
  std::uint32_t ejectError = 170;
  // A reader that has no eject at all: every eject is refused as not
  // supported. A card that calls itself fixed media (Kind::FixedDisk) is
  // never let go either: its reader says it still holds it (busy).
  bool cannotEject = false;
};

}  // namespace disks
