#include "cli/card_results.h"

#include <algorithm>

#include "card/image_file.h"
#include "card/messages.h"
#include "cli/command_parts.h"
#include "cli/terminal.h"

namespace cli {

std::int64_t blocksWritten(const CardJob& job) {
  if (!job.writeStarted) return 0;
  return std::max<std::int64_t>(job.outcome.blocksWritten, 0);
}

bool verified(const CardJob& job, bool verify) {
  return job.writeStarted && job.outcome.done() && verify;
}

std::string cardResultLine(const CardJob& job, bool verify) {
  const std::string name = job.name + ": ";
  const card::Outcome& outcome = job.outcome;
  if (!job.refusal.empty()) return name + "refused, untouched";
  if (!job.started) return name + "not started, untouched";
  if (!job.writeStarted)
    return name + "not written, its backup did not complete; the card is untouched";
  const std::int64_t blocks = blocksWritten(job);
  switch (outcome.ending) {
    case card::Ending::Done:
      return name +
             (verify ? "written and read back, " : "written, not read back (--no-verify), ") +
             std::to_string(blocks) + " blocks (" +
             sizeText(blocks * std::int64_t(card::kBlockSize)) + ") in " + secondsText(job.seconds);
    case card::Ending::Refused:
      return name + "refused, untouched";
    case card::Ending::Failed:
    case card::Ending::Stopped: {
      std::string line = name + card::endingName(outcome.ending);
      if (outcome.block >= 0) line += " at block " + std::to_string(outcome.block);
      return line + ", " + std::to_string(blocks) +
             " blocks written; the card does not hold the image";
    }
  }
  return {};
}

void sayWhatEachCardGot(const std::vector<CardJob>& jobs, bool verify) {
  std::string lines;
  for (const CardJob& job : jobs) {
    const bool refused = !job.refusal.empty() || job.outcome.ending == card::Ending::Refused;
    if (jobs.size() == 1 && refused) continue;
    lines += cardResultLine(job, verify) + "\n";
  }
  writeErrors(lines);
}

}  // namespace cli
