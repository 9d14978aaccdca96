// What a run did, as a value: how it ended, the system's error code and the
// block where they apply, and the closing message the operator was shown.
// Front ends decide on this, never on a message's words.
#pragma once

#include <cstdint>
#include <string>

#include "card/operator_ui.h"

namespace card {

// What the ending is about: the card, or one of the files beside it (a
// front end names that file and the system's reason).
enum class About {
  Card,
  ImageFile,
  BackupFile,
};

enum class Ending {
  Done,     // the run did what it was asked ("done", "card matches image")
  Refused,  // refused before anything was written to the card or a backup file
  Failed,   // failed part-way
  Stopped,  // stopped because the operator asked for it
};

struct Outcome {
  Ending ending = Ending::Done;
  // The system's error code behind the ending; 0 when there is none.
  std::uint32_t systemError = 0;
  // The block the ending names (where a write, a read or a comparison
  // failed, or where a run stopped); -1 when none.
  std::int64_t block = -1;
  // The closing message, as it was shown.
  std::string caption;
  std::string text;
  // What the status label shows once the run is over: the block count text
  // of the run's accepted header (or of the card read), or empty when the
  // run got no such count.
  std::string status;
  // Refused because a volume of the card stayed in use however long it was
  // waited for (systemError tells the lock's answer).
  bool cardBusy = false;
  // A write's card left its reader after the write: the reader says it
  // holds no card. False when no eject was asked for or the card stayed in.
  bool cardEjected = false;
  About about = About::Card;
  // How many blocks of the image the card took, from block 0 on, whatever
  // the ending (a write's outcome only; -1 for the other runs).
  std::int64_t blocksWritten = -1;

  bool done() const { return ending == Ending::Done; }
};

// The words for an ending, as the command line's record writes them.
inline const char* endingName(Ending ending) {
  switch (ending) {
    case Ending::Done:
      return "done";
    case Ending::Refused:
      return "refused";
    case Ending::Failed:
      return "failed";
    case Ending::Stopped:
      return "stopped";
  }
  return "failed";
}

// The same outcome, about `subject`.
inline Outcome aboutFile(Outcome outcome, About subject) {
  outcome.about = subject;
  return outcome;
}

// Shows a closing message and gives it as a run's outcome.
inline Outcome shownOutcome(OperatorUi& ui, Ending ending, const std::string& text,
                            const std::string& caption, std::uint32_t systemError = 0,
                            std::int64_t block = -1) {
  ui.showMessage(text, caption);
  Outcome outcome;
  outcome.ending = ending;
  outcome.systemError = systemError;
  outcome.block = block;
  outcome.caption = caption;
  outcome.text = text;
  return outcome;
}

}  // namespace card
