// The backup: the card read into a new backup file, then read a second time
// and compared with what was written, ending with exactly one closing
// message.
#pragma once

#include <string>

#include "card/card_device.h"
#include "card/disk_services.h"
#include "card/operator_ui.h"
#include "card/outcome.h"
#include "card/run_frame.h"

namespace card {

using BackupOptions = RunOptions;

// Reads the card behind the drive field's text into the backup file
// `backupPath` (UTF-8). Every outcome has been shown to the operator when it
// returns.
Outcome runBackup(DiskServices& disk, OperatorUi& ui, const std::string& backupPath,
                  const BackupOptions& options = {});

// The backup of a card already opened. Owns `card` from here on and releases
// it on every path.
Outcome runBackup(DiskServices& disk, OperatorUi& ui, Card card, const std::string& backupPath,
                  const BackupOptions& options = {});

}  // namespace card
