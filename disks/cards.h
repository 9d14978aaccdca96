// The one place that knows what a card is: which disks the system shows as
// cards, what each one is, and what is refused before a card is touched.
// The command line's list, info and confirmation, and its refusals, all ask
// here, so that what `list` shows a write takes, and the other way round.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace disks {

// A card as `list` shows it and as the write's question names it.
struct CardDescription {
  std::string name;         // as the card writer names it: "G", "/dev/sdb"
  std::string disk;         // "disk 1", "loop over /tmp/card.img", ...
  std::int64_t bytes = -1;  // -1 when unknown
  std::string vendor;
  std::string product;
  bool removable = false;
  bool noCard = false;               // a reader whose slot is empty
  bool writeProtected = false;       // the card refuses writes (its lock switch)
  std::vector<std::string> mounted;  // what of it is in use: "/dev/sdb1 on /media/card"
};

// The removable cards the system sees: removable media, disks on the SD or
// MMC bus (some readers call their card fixed) but never the system's own
// disk, and readers whose slot is empty.
std::vector<CardDescription> listCards();

// What the card `name` is, as far as the system tells; never fails (unknown
// fields stay empty).
CardDescription describeCard(const std::string& name);

// What a run does with the card: a refusal says why it matters.
enum class CardUse { Write, Read };

// What is refused before the card writer is asked, with the message to show
// (caption "ERROR"); empty when nothing. `files` are the files the run reads
// or writes beside the card.
std::string cardRefusal(const std::string& name, const std::vector<std::string>& files,
                        CardUse use = CardUse::Write);

// Whether this process's current folder lies on the card `name`: a console
// whose folder is on the card holds the card's volume open.
bool currentFolderOnCard(const std::string& name);

}  // namespace disks
