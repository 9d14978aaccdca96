// The write's tests' shared set-up: one run against a simulated card on G,
// with the image chosen beforehand, and what a test reads back from it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "card/write_run.h"
#include "disks/simulated_disk_services.h"
#include "tests/support/test_support.h"

namespace write_testing {

using namespace testing_support;
using Bytes = std::vector<std::uint8_t>;
using Messages = std::vector<std::pair<std::string, std::string>>;

inline Bytes payloadOf(const Bytes& image) { return Bytes(image.begin() + 8, image.end()); }

// What a run that ends well shows: "done", and nothing before it.
inline const Messages kDoneOnly = {{"done", "Quenvory"}};

inline bool startsWith(const std::string& entry, const char* prefix) {
  return entry.rfind(prefix, 0) == 0;
}

class WriteOperation : public ::testing::Test {
 public:
  WriteOperation() : disk(&journal), ui(journal) {
    disk.addDrive("G", cardDrive());
    options.lock.wait = [](std::chrono::milliseconds) {};
  }

  // The card on G as a case has it: a plain card, changed by `change`.
  disks::SimulatedDrive cardDrive(
      const std::function<void(disks::SimulatedDrive&)>& change = {}) const {
    disks::SimulatedDrive drive;
    drive.file = cardPath;
    if (change) change(drive);
    return drive;
  }
  void useCard(const std::function<void(disks::SimulatedDrive&)>& change) {
    disk.addDrive("G", cardDrive(change));
  }

  void useImage(const Bytes& bytes) {
    writeFile(imagePath, bytes);
    ui.fileName = imagePath;
  }

  // A case of a table starts afresh: an empty journal, no messages, and a
  // card that holds nothing, so that what one case wrote cannot stand in
  // for what the next one writes.
  void startCase() {
    journal.clear();
    ui.messages.clear();
    std::remove(cardPath.c_str());
  }

  // The run's pauses go on the test's clock, which `waitedMs` reads.
  void countWaits() {
    waitedMs = 0;
    options.lock.wait = [this](std::chrono::milliseconds pause) {
      waitedMs += static_cast<int>(pause.count());
    };
  }

  card::Outcome run() {
    const card::Outcome outcome = card::runWrite(disk, ui, options);
    // Whatever the path, nothing stays open.
    EXPECT_EQ(disk.openDevices(), 0);
    EXPECT_EQ(disk.openVolumes(), 0);
    EXPECT_EQ(disk.openImages(), 0);
    EXPECT_EQ(disk.liveBuffers(), 0);
    // One buffer for the whole run, whatever its length.
    EXPECT_LE(count("allocate buffer"), 1);
    for (int position : ui.positions) {
      EXPECT_GE(position, 0);
      EXPECT_LE(position, 100);
    }
    return outcome;
  }

  // How often `entry` is in the journal.
  long count(const std::string& entry) const {
    return static_cast<long>(std::count(journal.begin(), journal.end(), entry));
  }
  // Where `entry` first is in the journal; its length when it is not there.
  std::ptrdiff_t at(const std::string& entry) const {
    return std::find(journal.begin(), journal.end(), entry) - journal.begin();
  }
  // Where `entry` last is in the journal.
  std::ptrdiff_t lastAt(const std::string& entry) const {
    return journal.rend() - std::find(journal.rbegin(), journal.rend(), entry) - 1;
  }

  // The releases and what the operator was shown, in order.
  std::vector<std::string> ending() const {
    std::vector<std::string> kept;
    for (const std::string& e : journal)
      if (startsWith(e, "message") || e == "close device" || e == "close image" ||
          e == "free buffer" || e == "panel hidden")
        kept.push_back(e);
    return kept;
  }

  Bytes cardBytes() const { return readFile(cardPath); }

  // The status text the run left in the window.
  std::string lastStatus() const {
    const auto found = std::find_if(journal.rbegin(), journal.rend(),
                                    [](const std::string& e) { return startsWith(e, "status "); });
    return found == journal.rend() ? std::string() : *found;
  }

  ScratchDir scratch;
  std::string cardPath = scratch.path("card-G.img");
  std::string imagePath = scratch.path("image.S7img");
  std::vector<std::string> journal;
  disks::SimulatedDiskServices disk;
  RecordingUi ui;
  card::WriteOptions options;
  int waitedMs = 0;
};

using Kind = disks::SimulatedDrive::Kind;

// A card on disk 1 mounted twice, as today's systems mount every partition
// of a removable card: G and, under its own letter, H. J is another card, on
// disk 2, and I a CD-ROM drive; neither may be touched.
class CardWithTwoVolumes : public WriteOperation {
 public:
  CardWithTwoVolumes() {
    changeVolume("H", [](disks::SimulatedDrive&) {});
    disks::SimulatedDrive other;
    other.file = otherCard;
    other.diskNumber = "2";
    disk.addDrive("J", other);
    disks::SimulatedDrive cdrom;
    cdrom.kind = Kind::CdRom;
    disk.addDrive("I", cdrom);
  }

  void changeVolume(const std::string& letter,
                    const std::function<void(disks::SimulatedDrive&)>& change) {
    disks::SimulatedDrive d = letter == "H" ? secondVolume() : disks::SimulatedDrive{};
    d.file = cardPath;
    change(d);
    disk.addDrive(letter, d);
  }

  static disks::SimulatedDrive secondVolume() {
    disks::SimulatedDrive d;
    d.kind = Kind::VolumeCard;
    d.volumeNumber = "9";
    return d;
  }

  std::string otherCard = scratch.path("card-J.img");
};

}  // namespace write_testing
