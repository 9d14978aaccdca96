// Every caption the card writer shows, in one place.
#pragma once

#include <cstdint>
#include <string>

namespace card {

constexpr const char* kErrorCaption = "ERROR";
constexpr const char* kCardErrorCaption = "MMC ERROR";
constexpr const char* kShortImageCaption = "surprised";
constexpr const char* kDoneCaption = "Quenvory";

// "error %ld <what>" with the system's error code, printed as the system's
// 32-bit signed long prints it.
inline std::string systemErrorText(const char* what, std::uint32_t code) {
  return "error " + std::to_string(static_cast<std::int32_t>(code)) + " " + what;
}

}  // namespace card
