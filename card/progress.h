// The progress bar of a run that goes through the blocks: it moves when the
// block index enters a new hundred, the first time at block 100.
#pragma once

#include <algorithm>
#include <cstdint>

#include "card/operator_ui.h"

namespace card {

// The bar's position at block `index` of `count`; 64-bit so that large
// counts cannot wrap, and kept within the bar's range.
inline int progressPosition(std::int32_t index, std::int32_t count) {
  if (count <= 0) return 0;
  const std::int64_t position = std::int64_t{index} * 100 / count;
  return static_cast<int>(std::clamp<std::int64_t>(position, 0, 100));
}

class Progress {
 public:
  Progress(OperatorUi& ui, std::int32_t count) : ui_(ui), count_(count) {}

  void after(std::int32_t index) {
    if (index / 100 == lastBucket_) return;
    ui_.setProgress(progressPosition(index, count_));
    lastBucket_ = index / 100;
    ui_.showProgressPanel(true);
    ui_.repaintProgress();
    ui_.processEvents();
  }

 private:
  OperatorUi& ui_;
  std::int32_t count_;
  std::int32_t lastBucket_ = 0;
};

}  // namespace card
