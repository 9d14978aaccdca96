// Every caption the card writer shows, in one place.
#pragma once

namespace card {

constexpr const char* kErrorCaption = "ERROR";
constexpr const char* kCardErrorCaption = "MMC ERROR";
constexpr const char* kShortImageCaption = "surprised";
constexpr const char* kDoneCaption = "Quenvory";

}  // namespace card
