#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/stop_request.h"
#include "cli/stop_request_wait.h"
#include "cli/terminal.h"

namespace cli {
namespace {

void writeAll(int fd, const std::string& text) {
  const char* next = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t done = ::write(fd, next, left);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return;
    next += done;
    left -= static_cast<std::size_t>(done);
  }
}

// What was read from standard input past the last line's end, kept for the
// next question: a script's "y\ny\n" answers two.
std::string unread;

}  // namespace

bool inputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool errorsAreTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void writeErrors(const std::string& text) { writeAll(STDERR_FILENO, text); }

void writeOutput(const std::string& text) { writeAll(STDOUT_FILENO, text); }

// Standard input is read here, not through a stream's buffer, so that the
// wait sees everything that came and the stop's descriptor beside it: a stop
// that lands just before the wait has already made that descriptor readable.
bool readInputLine(std::string& line) {
  for (;;) {
    if (stopRequested()) return false;
    const std::size_t end = unread.find('\n');
    if (end != std::string::npos) {
      line = unread.substr(0, end);
      unread.erase(0, end + 1);
      return true;
    }
    pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {stopDescriptor(), POLLIN, 0}};
    if (::poll(waits, waits[1].fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    // A stop: the flag, looked at first thing, says so.
    if (waits[1].revents != 0 && waits[0].revents == 0) continue;
    char chunk[256];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got > 0) {
      unread.append(chunk, static_cast<std::size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      // The input's end: its last line may lack its end.
      if (unread.empty() || stopRequested()) return false;
      line.swap(unread);
      unread.clear();
      return true;
    }
  }
}

}  // namespace cli
