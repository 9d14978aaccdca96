// The runs on the cards: a tray's cards written at once, each in a thread of
// its own, and the one card of a read or a compare.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "card/disk_services.h"
#include "card/outcome.h"
#include "card/write_run.h"
#include "cli/console.h"
#include "cli/hints.h"
#include "disks/cards.h"

namespace cli {

// One card of a write, from its name on the command line to its record line.
struct CardJob {
  std::string name;
  disks::CardDescription description;
  std::string backup;
  std::string refusal;
  card::Outcome outcome;
  // Its run began (the backup, or the write when there is none).
  bool started = false;
  // Its backup (if any) complete and its write begun: the card may hold
  // anything from here on.
  bool writeStarted = false;
  double seconds = 0;
};

// Writes `image` onto every card of `jobs` at once (its backup first where it
// has one), each card in a thread of its own with its own disk services; the
// progress lines on a terminal unless `quiet`.
void writeTray(std::vector<CardJob>& jobs, const std::string& image,
               const card::WriteOptions& options, bool quiet);

// One run that only reads the card `name`, with `files` beside it: the run
// is given the card's disk services and operator interface; its hint is
// shown after it.
using ReadingRun = std::function<card::Outcome(card::DiskServices&, ConsoleUi&)>;
card::Outcome readCard(const std::string& name, const RunFiles& files, bool quiet,
                       const ReadingRun& run);

}  // namespace cli
