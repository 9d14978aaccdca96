#include "disks/linux_cards.h"

#include <filesystem>

#include "disks/linux_card_rule.h"

namespace disks {

CardDescription describeLinuxDisk(const LinuxSystem& system, const std::string& name) {
  const BlockFacts& facts = system.facts(name);
  CardDescription card;
  card.name = system.paths().dev + "/" + name;
  card.bytes = facts.bytes;
  if (!facts.backingFile.empty()) {
    card.disk = "loop over " + facts.backingFile;
    card.vendor = "loop";
    card.product = std::filesystem::path(facts.backingFile).filename().string();
  } else {
    card.disk = "disk " + name;
    card.vendor = facts.vendor;
    card.product = facts.model;
  }
  card.removable = diskVerdict(system, name) == Verdict::Card;
  // A card's lock switch, or a device attached read-only.
  card.writeProtected = facts.readOnly;
  const std::set<std::string> users = system.devicesUsing(name);
  for (const Mount& mount : system.mounts())
    if (!mount.device.empty() && users.count(mount.device) != 0)
      card.mounted.push_back(mount.source + " on " + mount.point);
  return card;
}

std::vector<CardDescription> listLinuxCards(const LinuxSystem& system) {
  std::vector<CardDescription> cards;
  for (const std::string& name : system.disks()) {
    if (diskVerdict(system, name) != Verdict::Card) continue;
    CardDescription card = describeLinuxDisk(system, name);
    // A reader without a card in it is a disk of no bytes.
    if (card.bytes == 0) continue;
    cards.push_back(std::move(card));
  }
  return cards;
}

std::string linuxCardRefusal(const LinuxSystem& system, const std::string& name,
                             const std::vector<std::string>& files, CardUse use) {
  const std::string dev = system.paths().dev + "/";
  if (name.compare(0, dev.size(), dev) != 0) return {};
  const std::string base = name.substr(dev.size());
  if (!system.isBlock(base) && parseDeviceName(base).kind != DeviceName::Kind::EmmcArea) return {};
  return ruleRefusal(system, name, files, use);
}

std::vector<CardDescription> listCards() { return listLinuxCards(*thisSystem()); }

CardDescription describeCard(const std::string& name) {
  CardDescription card = describeLinuxDisk(*thisSystem(), name.substr(name.rfind('/') + 1));
  card.name = name;
  return card;
}

std::string cardRefusal(const std::string& name, const std::vector<std::string>& files,
                        CardUse use) {
  return linuxCardRefusal(*thisSystem(), name, files, use);
}

// A card is opened for this process alone and refused while anything on it
// is mounted: no folder can lie on it.
bool currentFolderOnCard(const std::string&) { return false; }

}  // namespace disks
