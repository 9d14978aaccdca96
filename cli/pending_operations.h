// Stand-ins for the read and compare operations until they join the card
// writer; removed then, with every caller unchanged.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "disk_services.h"
#include "operator_ui.h"

namespace card {

struct ReadOptions {
  std::int32_t batchBlocks = 2048;
  std::chrono::milliseconds lockRetryPause{200};
};
bool runReadOperation(DiskServices& disk, OperatorUi& ui, const std::string& targetPath,
                      const ReadOptions& options = {});

struct CompareOptions {
  std::int32_t batchBlocks = 2048;
};
bool runCompareOperation(DiskServices& disk, OperatorUi& ui, const CompareOptions& options = {});

}  // namespace card
