#include "cli/card_runner.h"

#include <chrono>
#include <memory>
#include <thread>

#include "card/backup_run.h"
#include "cli/command_parts.h"
#include "cli/platform.h"
#include "cli/stop_request.h"
#include "cli/terminal.h"

namespace cli {
namespace {

void runCard(CardJob& job, const std::string& image, const card::WriteOptions& options,
             Console& console, const std::string& prefix) {
  const auto start = std::chrono::steady_clock::now();
  // A stop asked for before this card's run began: nothing of it starts.
  if (stopRequested()) {
    job.outcome.ending = card::Ending::Stopped;
    return;
  }
  job.started = true;
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  ConsoleUi ui(console, job.name, prefix, image);
  // The card is written only once what it held is safe in its backup.
  if (!job.backup.empty()) {
    ui.setPhase("backup: ");
    job.outcome = card::runBackup(*disk, ui, job.backup);
    ui.setPhase("");
  }
  if (job.backup.empty() || job.outcome.done()) {
    job.writeStarted = true;
    job.outcome = card::runWrite(*disk, ui, options);
    if (options.eject) {
      const std::string out = afterEject(job.outcome, job.name);
      if (!out.empty()) ui.note(out);
    }
  }
  hintAfter(job.outcome, ui, RunFiles{image, job.backup});
  job.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void writeTray(std::vector<CardJob>& jobs, const std::string& image,
               const card::WriteOptions& options, bool quiet) {
  const KeepAwake awake;
  Console console(!quiet && errorsAreTerminal());
  if (jobs.size() == 1) {
    runCard(jobs[0], image, options, console, "");
  } else {
    std::vector<std::thread> threads;
    for (CardJob& job : jobs)
      threads.emplace_back(
          [&, prefix = job.name + ": "] { runCard(job, image, options, console, prefix); });
    for (std::thread& thread : threads) thread.join();
  }
  console.endProgress();
}

card::Outcome readCard(const std::string& name, const RunFiles& files, bool quiet,
                       const ReadingRun& run) {
  const std::unique_ptr<card::DiskServices> disk = makeDiskServices();
  const KeepAwake awake;
  Console console(!quiet && errorsAreTerminal());
  ConsoleUi ui(console, name, "", files.image);
  const card::Outcome outcome = run(*disk, ui);
  hintAfter(outcome, ui, files);
  console.endProgress();
  return outcome;
}

}  // namespace cli
