// What every command checks before it asks or runs, in one order: its image,
// then the files it makes, then its cards, opened and judged as the run will
// judge them. Each refusal is shown with its hint when it returns false.
#pragma once

#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/image_facts.h"
#include "disks/cards.h"

namespace cli {

// The image opens and its header is accepted.
bool imageAccepted(const std::string& path, const ImageFacts& facts);

// A backup's file can be put at `path`: its folder exists and takes a new
// file, the name is no folder, and a file already there may be replaced
// (--yes, or the operator's y on the terminal).
bool backupPlaceAccepted(const std::string& path, bool yes);

// A folder for backups takes a new file: `sample` is a name in it.
bool backupFolderAccepted(const std::string& sample);

// The card `name`, for a run that reads or writes `files` beside it: the
// card rule, then the core's own open of it (and, for a write, its lock
// switch). `refusal` receives what was shown; `prefix` goes before the
// card's lines. Closed again before it returns: nothing of it stays open
// while a question waits, and the run opens it afresh.
bool cardAccepted(const std::string& name, const std::vector<std::string>& files,
                  disks::CardUse use, Console& console, const std::string& prefix,
                  std::string& refusal);

}  // namespace cli
