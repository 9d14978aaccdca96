#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>

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

}  // namespace

bool inputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool errorsAreTerminal() { return ::isatty(STDERR_FILENO) == 1; }

void writeErrors(const std::string& text) { writeAll(STDERR_FILENO, text); }

void writeOutput(const std::string& text) { writeAll(STDOUT_FILENO, text); }

bool readInputLine(std::string& line) { return static_cast<bool>(std::getline(std::cin, line)); }

}  // namespace cli
