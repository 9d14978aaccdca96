// What a Linux block device is to the card writer, as one table read top to
// bottom: each row a fact, the verdict when it holds, and the words the
// operator reads. The first row that holds decides; a disk that none of the
// disk's rows refuses is a card. `list`, the confirmation's description,
// the refusals before a run, the run's own open (through the core's
// DiskFacts) and the help's "What is refused" all read this one table.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "card/card_device.h"
#include "disks/cards.h"
#include "disks/linux_system.h"

namespace disks {

// What the rule decides of a named device.
enum class Verdict {
  Card,
  // What the disk is (the core's DiskVerdict besides Card).
  SystemDisk,
  BuiltIn,
  NotACard,
  // What is refused of a card's device as named.
  Partition,
  InUse,
  FileOnCard,
  WriteProtected,
};

// A device as the rule weighs it: how the operator named it, the whole disk
// it lies on, and what the run does with it.
struct RuleSubject {
  const LinuxSystem& system;
  std::string name;  // as named: /dev/sdb1
  std::string base;  // its sysfs name: sdb1
  std::string disk;  // the whole disk: sdb
  bool partition = false;
  const std::vector<std::string>& files;  // the files the run reads or writes beside the card
  CardUse use = CardUse::Write;
  // A loop device over a plain file counts as a card (the command line's
  // services and list take it so; the bare services, for their tests, not).
  bool loopFilesAreCards = true;
};

struct RuleRow {
  const char* fact;    // the help's name for the row
  const char* detail;  // what it covers and why, for the help
  Verdict verdict;
  // Whether the row holds; nullptr for a row the run checks as it opens
  // the card (the lock switch can change until then).
  bool (*holds)(const RuleSubject&);
  // The refusal's words (caption "ERROR").
  std::string (*words)(const RuleSubject&);
  bool diskRow;  // decided by the whole disk alone, whatever the name
};

// The rule, in its order.
const std::vector<RuleRow>& linuxCardRule();

// What the whole disk `disk` is: the first disk row that holds, or Card.
Verdict diskVerdict(const LinuxSystem& system, const std::string& disk,
                    bool loopFilesAreCards = true);

// The disk's facts as the core weighs them, so that its judgeDisk gives the
// verdict above for a run's open.
card::DiskFacts coreFacts(const LinuxSystem& system, const std::string& disk,
                          bool loopFilesAreCards = true);

// The refusal of the device `name` (a path under the system's /dev, its
// sysfs name `base`) before a run, or "" for a card the run may take.
std::string ruleRefusal(const LinuxSystem& system, const std::string& name,
                        const std::vector<std::string>& files, CardUse use);

// The help's rows: what is refused, and why.
std::vector<std::pair<std::string, std::string>> linuxRefusalHelp();

}  // namespace disks
