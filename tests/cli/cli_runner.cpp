#include "tests/cli/cli_runner.h"

#include <fcntl.h>
#include <regex.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

void readAll(int fd, std::string& into) {
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    into.append(chunk, static_cast<std::size_t>(got));
  }
}

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    done += static_cast<std::size_t>(put);
  }
}

}  // namespace

CliResult runCli(const std::vector<std::string>& args, const CliInput& input) {
  CliResult result;
  int out[2];
  int err[2];
  int in[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return result;
  int terminal = -1;
  int errorTerminal = -1;
  if (input.errorsOnTerminal) {
    // Standard error on a terminal of its own; what the program draws on it
    // is read from the other side.
    errorTerminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (errorTerminal < 0 || ::grantpt(errorTerminal) != 0 || ::unlockpt(errorTerminal) != 0)
      return result;
    ::close(err[1]);
    err[1] = ::open(::ptsname(errorTerminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ::close(err[0]);
    err[0] = errorTerminal;
  }
  if (input.terminal) {
    terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return result;
    in[0] = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY | O_CLOEXEC);
  } else if (::pipe2(in, O_CLOEXEC) != 0) {
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<std::string> argv;
  if (input.user >= 0) {
    const std::string id = std::to_string(input.user);
    argv = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
  }
  argv.push_back(QUENVORY_CLI);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = ::posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (input.terminal) {
    // The line as typed: the terminal hands it over at its end.
    writeAll(terminal, input.text);
  } else {
    ::close(in[0]);
    in[0] = -1;
    writeAll(in[1], input.text);
    ::close(in[1]);
  }
  std::thread errors([&] { readAll(err[0], result.errors); });
  readAll(out[0], result.output);
  errors.join();
  ::close(out[0]);
  ::close(err[0]);
  if (in[0] >= 0) ::close(in[0]);
  if (terminal >= 0) ::close(terminal);
  if (spawned != 0) return result;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string recordField(const std::string& record, const std::string& column) {
  const auto fields = [](const std::string& line) {
    std::vector<std::string> parts(1);
    for (char c : line) {
      if (c == ',')
        parts.emplace_back();
      else if (c != '\r')
        parts.back() += c;
    }
    return parts;
  };
  const std::size_t end = record.find('\n');
  if (end == std::string::npos) return {};
  const std::vector<std::string> names = fields(record.substr(0, end));
  const std::vector<std::string> values =
      fields(record.substr(end + 1, record.find('\n', end + 1) - end - 1));
  for (std::size_t k = 0; k < names.size() && k < values.size(); ++k)
    if (names[k] == column) return values[k];
  return {};
}

bool found(const std::string& text, const std::string& pattern) {
  regex_t compiled;
  if (::regcomp(&compiled, pattern.c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
  const bool matched = ::regexec(&compiled, text.c_str(), 0, nullptr, 0) == 0;
  ::regfree(&compiled);
  return matched;
}

}  // namespace testing_support
