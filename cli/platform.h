// What the command line asks of the system it runs on, apart from the card
// writer's own disk services: which cards there are, how a target is named,
// and what the platform refuses before a card is touched. One file per
// platform implements it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/disk_services.h"

namespace cli {

// A card as `list` shows it and as the write's question names it.
struct CardDescription {
  std::string target;       // as the card writer names it: "G", "/dev/sdb"
  std::string disk;         // "disk 1", "loop over /tmp/card.img", ...
  std::int64_t bytes = -1;  // -1 when unknown
  std::string vendor;
  std::string product;
  bool removable = false;
  bool noCard = false;               // a reader whose slot is empty
  std::vector<std::string> mounted;  // what of it is in use: "/dev/sdb1 on /media/card"
};

// The removable cards the system sees.
std::vector<CardDescription> listCards();

// What the target is, as far as the system tells; never fails (unknown
// fields stay empty).
CardDescription describeTarget(const std::string& target);

// The operator's text for a target, as the card writer names it: the drive
// letter alone on Windows ("g:" gives "G"), the device's own path on Linux
// (links followed). False, with `problem` set, for a text that cannot name
// a card at all: a usage error.
bool normaliseTarget(const std::string& text, std::string& target, std::string& problem);

// What the platform refuses before the card writer is asked, with the
// message to show (caption "ERROR"); empty when nothing. `files` are the
// files the run reads or writes beside the card.
std::string targetRefusal(const std::string& target, const std::vector<std::string>& files);

// What to tell an operator whose card did not open ("MMC drive open error")
// when the program runs without the rights a raw disk needs; empty when it
// has them.
std::string openFailureHint();

// What a system error code from a run means to the operator: a line to
// print after the card writer's own message, or empty where there is
// nothing to add. `writing`: the code came from writing the card (on Linux
// EPERM then means a card that refuses writes).
std::string errorHint(std::uint32_t code, bool writing);

// The system's own words for an error code ("Access is denied.").
std::string systemErrorName(std::uint32_t code);

// Whether this process's current folder lies on the card `target`, which
// keeps the card's volume busy.
bool currentFolderOnCard(const std::string& target);

// Keeps the system from going to sleep while it lives: a PC that sleeps in
// the middle of a write leaves a half-written card. Nothing where the
// system does not sleep under a running command.
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

// The program's name as the operator types it.
std::string programName();

// What TARGET is, for the help text.
std::string targetDescription();

// The target in a file name: "G", "sdb".
std::string targetStem(const std::string& target);

}  // namespace cli
