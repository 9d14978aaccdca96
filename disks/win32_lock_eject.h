// What a reader's answers to an eject make of it, apart from the calls so
// that a test can give the answers.
#pragma once

#include <cstdint>

namespace disks {

// The reader's answers: to the eject, then to the question whether a card
// is still in it, and what the card's geometry said before.
struct EjectAnswers {
  std::uint32_t ejectError = 0;  // 0: the eject was taken
  std::uint32_t checkError = 0;  // 0: the reader says a card is in it
  bool fixedMedia = false;       // the card calls itself fixed media
};

// 0 when the card is out; otherwise the error code the eject fails with,
// whose kind says whether another try can help.
std::uint32_t ejectError(const EjectAnswers& answers);

}  // namespace disks
