// SIGINT (Ctrl-C), SIGTERM (kill, a service manager) and SIGHUP (the
// terminal closed) note a stop; the runs do the rest.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

#include "cli/stop_request.h"
#include "cli/stop_request_wait.h"

namespace cli {
namespace {

// Set from a signal handler and read from every card's thread: only a
// lock-free atomic is both async-signal-safe and free of data races.
std::atomic<bool> requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// The self-pipe: every stop writes a byte into it, so that a wait that
// watches its reading end wakes whenever the stop came, even between the
// wait's last look at the flag and the wait itself. Both ends are made once,
// before the handlers can run, and never closed.
int wake[2] = {-1, -1};

void wakeWaiters() {
  const int saved = errno;
  const char byte = 1;
  // Non-blocking: a full pipe refuses the byte and already wakes every wait.
  if (wake[1] >= 0 && ::write(wake[1], &byte, 1) < 0) {
  }
  errno = saved;
}

extern "C" void noteStop(int) {
  requested.store(true);
  wakeWaiters();
}

}  // namespace

void installStopHandlers() {
  if (wake[0] < 0 && ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) wake[0] = wake[1] = -1;
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

void requestStop() {
  requested.store(true);
  wakeWaiters();
}

void clearStopRequest() {
  requested.store(false);
  char bytes[64];
  if (wake[0] >= 0)
    while (::read(wake[0], bytes, sizeof bytes) > 0) {
    }
}

int stopDescriptor() { return wake[0]; }

}  // namespace cli
