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
#include "card/outcome.h"

namespace cli {

// A card as `list` shows it and as the write's question names it.
struct CardDescription {
  std::string target;       // as the card writer names it: "G", "/dev/sdb"
  std::string disk;         // "disk 1", "loop over /tmp/card.img", ...
  std::int64_t bytes = -1;  // -1 when unknown
  std::string vendor;
  std::string product;
  bool removable = false;
  std::vector<std::string> mounted;  // what of it is in use: "/dev/sdb1 on /media/card"
};

// The removable cards the system sees.
std::vector<CardDescription> listCards();

// What the target is, as far as the system tells; never fails (unknown
// fields stay empty).
CardDescription describeCard(const std::string& target);

// The operator's text for a target, as the card writer names it: the drive
// letter alone on Windows ("g:" gives "G"), the device's own path on Linux
// (links followed). False, with `problem` set, for a text that cannot name
// a card at all: a usage error.
bool normaliseCardName(const std::string& text, std::string& target, std::string& problem);

// What the platform refuses before the card writer is asked, with the
// message to show (caption "ERROR"); empty when nothing. `files` are the
// files the run reads or writes beside the card.
std::string cardRefusal(const std::string& target, const std::vector<std::string>& files);

// What the system's answer behind a run that did not end well may mean to
// the operator (missing rights for a raw disk, ...); empty when nothing
// useful can be said.
std::string hintFor(const card::Outcome& outcome);

// Fresh disk services for one card (each card's thread has its own).
std::unique_ptr<card::DiskServices> makeDiskServices();

// The program's name as the operator types it.
std::string programName();

// What TARGET is, for the help text.
std::string cardNameDescription();

// The target in a file name: "G", "sdb".
std::string cardStem(const std::string& target);

}  // namespace cli
