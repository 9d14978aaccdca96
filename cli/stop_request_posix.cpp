// SIGINT (Ctrl-C), SIGTERM (kill, a service manager) and SIGHUP (the
// terminal closed) note a stop; the runs do the rest.
#include <signal.h>

#include <atomic>
#include <initializer_list>

#include "cli/stop_request.h"

namespace cli {
namespace {

// Set from a signal handler and read from every card's thread: only a
// lock-free atomic is both async-signal-safe and free of data races.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void noteStop(int) { requested.store(true); }

}  // namespace

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = noteStop;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a stop during the question whether to write ends the
  // wait for its answer (nothing is written then). No SA_RESETHAND: a
  // second Ctrl-C finds the same handler and cannot kill the release.
  action.sa_flags = 0;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool stopRequested() { return requested.load(); }

void commandFinished() {}

void requestStop() { requested.store(true); }

void clearStopRequest() { requested.store(false); }

}  // namespace cli
