#include "pending_operations.h"

namespace card {

bool runReadOperation(DiskServices&, OperatorUi& ui, const std::string&, const ReadOptions&) {
  ui.showMessage("reading a card is not built yet", "ERROR");
  return false;
}

bool runCompareOperation(DiskServices&, OperatorUi& ui, const CompareOptions&) {
  ui.showMessage("comparing a card is not built yet", "ERROR");
  return false;
}

}  // namespace card
