// What the command line asks of the system it runs on, apart from the card
// writer's disk services and the cards (disks/cards.h): how a card is named
// on the command line, what an error means, the program's name. One file per
// platform implements it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "card/disk_services.h"
#include "card/outcome.h"

namespace cli {

// The operator's text for a card, as the card writer names it: the drive
// letter alone on Windows ("g:" gives "G"), the device's own path on Linux
// (links followed). False, with `problem` set, for a text that cannot name
// a card at all: a usage error.
bool normaliseCardName(const std::string& text, std::string& name, std::string& problem);

// What the system's answer behind a run that did not end well may mean to
// the operator (missing rights for a raw disk, a reader unplugged, no card,
// a card's lock switch, a card kept busy, a name that is no device, ...), for
// the card `name`; empty
// when nothing useful can be said. Decided on the outcome's ending and
// error code, never on a message's words.
std::string hintFor(const card::Outcome& outcome, const std::string& name);

// What follows a write's `done` about the card in its reader, for the card
// `name`, when the write was to eject it: whether it left the reader, or is
// still in it and the system may offer to format it. Empty where nothing is
// ejected (Linux).
std::string afterEject(const card::Outcome& outcome, const std::string& name);

// The system's own words for an error code (strerror on Linux,
// FormatMessage on Windows), without a closing period; empty when it has
// none.
std::string systemReason(std::uint32_t code);

// Keeps the system from going to sleep while it lives: a PC that sleeps in
// the middle of a write leaves a half-written card. Windows only; elsewhere
// sleep is left to the desktop's own inhibitors.
class KeepAwake {
 public:
  KeepAwake();
  ~KeepAwake();
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

 private:
  unsigned long previous_ = 0;
};

// Fresh disk services for one card (each card's thread has its own).
std::unique_ptr<card::DiskServices> makeDiskServices();

// A file's UTF-8 path as the system's file calls take it: on Windows one
// longer than 260 characters opens whatever the PC's long-path policy.
std::filesystem::path filePath(const std::string& utf8);

// The program's name as the operator types it.
std::string programName();

// What a card's name is, for the help text.
std::string cardNameDescription();

// The card's name in a file name: "G", "sdb".
std::string cardStem(const std::string& name);

// What the help says that differs from one system to the other.
struct PlatformHelp {
  std::string rights;  // who may read and write a card
  // What is refused before anything starts: what, and why.
  std::vector<std::pair<std::string, std::string>> refusals;
  std::string stops;        // what stops a run
  std::string cards[2];     // two cards' names, for the examples
  std::string folder;       // where the examples' files lie, ending in its separator
  std::string backupNames;  // how --backup-dir names its files
};
PlatformHelp platformHelp();

}  // namespace cli
