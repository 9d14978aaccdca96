// Opening the card behind the drive field's text: the letter's disk, the
// wait for another program that holds it, and the checks before a run may
// use it.
#include <string>

#include "card/card_device.h"
#include "card/image_file.h"
#include "card/messages.h"

namespace card {
namespace {

constexpr const char* kDiveNumber = "Query did not return expected dive number";

std::string noCardText(const std::string& driveText) {
  return "no card in the reader at >" + driveText;
}

// The card's disk, for the run alone where it can be had: another program
// that holds it open for writing (a second run on the same card, a disk
// tool) is waited for, and only then is the disk opened beside it. `spent`
// receives the patience the wait took.
bool openDiskOfCard(CardDevices& devices, OperatorUi& ui, const std::string& driveText,
                    const std::string& path, const LockPatience& patience, NativeHandle& handle,
                    bool& stopped, std::chrono::milliseconds& spent) {
  if (devices.openDevice(path, handle)) return true;
  if (devices.errorKind(devices.lastError()) != ErrorKind::InUse) return false;
  bool waited = false;
  Waiting waiting(patience, waitingForCard(ui, driveText, waited));
  while (waiting.again()) {
    if (devices.openDevice(path, handle)) {
      spent = waiting.spent();
      return true;
    }
    if (devices.errorKind(devices.lastError()) != ErrorKind::InUse) return false;
  }
  spent = waiting.spent();
  stopped = waiting.stopped();
  return !stopped && devices.openDeviceShared(path, handle);
}

// The card behind a drive letter. Empty, with the refusal shown, when the
// letter leads to no single disk or the disk does not open.
Card openByLetter(DriveLetters& letters, CardDevices& devices, OperatorUi& ui,
                  const std::string& driveText, Outcome& refusal, const LockPatience& patience,
                  const std::string& stoppedText) {
  std::int64_t diskNumber = -1;
  switch (diskOfLetter(letters, driveText, diskNumber)) {
    case LetterAnswer::NoAnswer:
      refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption,
                             driveText.size() > kMaxDriveText ? 0 : letters.lastError());
      return {};
    case LetterAnswer::NotReady:
      refusal = shownOutcome(ui, Ending::Refused, noCardText(driveText), kErrorCaption);
      return {};
    case LetterAnswer::NoDisk:
      refusal = shownOutcome(ui, Ending::Refused, kDiveNumber, kErrorCaption);
      return {};
    case LetterAnswer::Disk:
      break;
  }
  NativeHandle handle = 0;
  bool stopped = false;
  std::chrono::milliseconds spent{0};
  if (!openDiskOfCard(devices, ui, driveText, physicalDriveOf(diskNumber), patience, handle,
                      stopped, spent)) {
    refusal = stopped ? shownOutcome(ui, Ending::Stopped, stoppedText, kCardErrorCaption, 0, 0)
                      : shownOutcome(ui, Ending::Refused, "MMC drive open error", kErrorCaption,
                                     devices.lastError());
    return {};
  }
  Card card(CardDevice(devices, handle), driveText, "\\\\.\\" + driveText + ":", DriveGeometry{},
            diskNumber, &letters);
  // The volumes' wait, later in the run, has what is left of the patience.
  card.setWaited(spent);
  return card;
}

// A card named by its device's own path: opened as named, with no volume
// to lock and no disk number (the device is claimed for the run alone).
Card openByPath(DevicePaths& paths, CardDevices& devices, OperatorUi& ui, const std::string& name,
                Outcome& refusal) {
  std::string path;
  if (!paths.findDevice(name, path)) {
    refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption,
                           paths.lastError());
    return {};
  }
  NativeHandle handle = 0;
  if (!devices.openDevice(path, handle)) {
    refusal = shownOutcome(ui, Ending::Refused, "MMC drive open error", kErrorCaption,
                           devices.lastError());
    return {};
  }
  return Card(CardDevice(devices, handle), name, {}, DriveGeometry{});
}

}  // namespace

Card openCard(DiskServices& disk, OperatorUi& ui, Outcome& refusal, const LockPatience& patience,
              const std::string& stoppedText) {
  const std::string driveText = ui.driveText();
  CardDevices& devices = disk.devices();
  Card card;
  if (DriveLetters* letters = disk.driveLetters()) {
    card = openByLetter(*letters, devices, ui, driveText, refusal, patience, stoppedText);
  } else if (DevicePaths* paths = disk.devicePaths()) {
    card = openByPath(*paths, devices, ui, driveText, refusal);
  } else {
    refusal = shownOutcome(ui, Ending::Refused, "could not query device", kErrorCaption);
  }
  if (!card) return card;
  DriveGeometry geometry;
  if (!devices.driveGeometry(card.device(), geometry)) {
    refusal = shownOutcome(ui, Ending::Refused,
                           lastFailureIsNotReady(devices) ? noCardText(driveText)
                                                          : "IOCTL_DISK_GET_DRIVE_GEOMETRY failed",
                           kErrorCaption, devices.lastError());
    card.closeUnused();
    return {};
  }
  if (!countsAsCard(devices, card.device(), geometry)) {
    refusal = shownOutcome(ui, Ending::Refused,
                           "your system does not recognize a removable media at >" + ui.driveText(),
                           kErrorCaption);
    card.closeUnused();
    return {};
  }
  // The card is written in 512-byte blocks: a card of larger sectors would
  // refuse the first block that is not a whole sector, part-way through.
  const std::string sectors = sectorSizeRefusal(geometry);
  if (!sectors.empty()) {
    refusal = shownOutcome(ui, Ending::Refused, sectors, kErrorCaption);
    card.closeUnused();
    return {};
  }
  card.setGeometry(geometry);
  return card;
}

Card cardOfDevice(CardDevices& devices, OperatorUi& ui, CardDevice device, Outcome& refusal) {
  DriveGeometry geometry;
  if (device && devices.driveGeometry(device.get(), geometry)) {
    const std::string sectors = sectorSizeRefusal(geometry);
    if (!sectors.empty()) {
      refusal = shownOutcome(ui, Ending::Refused, sectors, kErrorCaption);
      device.release();
      return {};
    }
  } else {
    geometry = DriveGeometry{};
  }
  return Card(std::move(device), {}, {}, geometry);
}

}  // namespace card
