#include "tests/support/loop_device.h"

#include <fcntl.h>
#include <linux/blkpg.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

extern char** environ;

namespace testing_support {
namespace {

void readAll(int fd, std::string* into) {
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (into != nullptr) into->append(chunk, static_cast<std::size_t>(got));
  }
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

int runProgram(const std::vector<std::string>& argv, std::string* output, std::string* errors) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return -1;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  // The outputs are small; reading one to its end before the other cannot
  // block the child for long.
  readAll(out[0], output);
  readAll(err[0], errors);
  ::close(out[0]);
  ::close(err[0]);
  if (spawned != 0) {
    if (errors != nullptr) *errors += argv[0] + ": " + std::strerror(spawned);
    return -1;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LoopDevice::LoopDevice(const std::string& backingFile, const Options& options) {
  if (::geteuid() != 0) {
    reason_ = "loop devices need root; run the tests as root to write a real block device";
    mayBeMissing_ = true;
    return;
  }
  if (::access("/dev/loop-control", F_OK) != 0) {
    reason_ = "no /dev/loop-control: this system cannot make loop devices";
    return;
  }
  std::vector<std::string> argv = {"losetup", "--direct-io=on"};
  if (options.readOnly) argv.push_back("--read-only");
  if (options.partitions) argv.push_back("--partscan");
  if (options.sectorBytes != 0) {
    argv.push_back("--sector-size");
    argv.push_back(std::to_string(options.sectorBytes));
  }
  argv.insert(argv.end(), {"--find", "--show", backingFile});
  std::string output;
  std::string errors;
  const int status = runProgram(argv, &output, &errors);
  output = trimmed(output);
  if (status != 0 || output.rfind("/dev/", 0) != 0) {
    reason_ = "losetup could not make a loop device (status " + std::to_string(status) +
              "): " + trimmed(errors);
    return;
  }
  path_ = output;
  // A test that ended without its destructor (killed at its timeout) may have
  // left the mark on this node: a device asked for writable starts writable.
  if (!options.readOnly) setReadOnly(false);
}

LoopDevice::~LoopDevice() {
  if (markedReadOnly_) setReadOnly(false);
  detach();
}

bool LoopDevice::directIo() const {
  if (!attached()) return false;
  std::ifstream in("/sys/block/" + path_.substr(path_.rfind('/') + 1) + "/loop/dio");
  int value = 0;
  return (in >> value) && value == 1;
}

LoopDevice::Counters LoopDevice::counters() const {
  Counters counters;
  if (!attached()) {
    counters.problem = "no loop device";
    return counters;
  }
  const std::string stat = "/sys/block/" + path_.substr(path_.rfind('/') + 1) + "/stat";
  std::ifstream in(stat);
  std::vector<long long> fields;
  for (long long value = 0; in >> value;) fields.push_back(value);
  // Field 3 counts the sectors read; field 16, which kernels from 5.5 on
  // have, the flush requests completed.
  if (fields.size() < 16) {
    counters.problem = stat + " has " + std::to_string(fields.size()) +
                       " fields: this kernel does not count flushes";
    return counters;
  }
  counters.sectorsRead = fields[2];
  counters.flushes = fields[15];
  return counters;
}

std::string LoopDevice::partition(int number, long long firstSector, long long sectors) {
  if (!attached()) return {};
  const std::string path = path_ + "p" + std::to_string(number);
  auto appears = [&] {
    for (int attempt = 0; attempt < 25; ++attempt) {
      if (::access(path.c_str(), F_OK) == 0) return true;
      ::usleep(20000);
    }
    return false;
  };
  if (appears()) return path;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    reason_ = path_ + " does not open: " + std::strerror(errno);
    return {};
  }
  blkpg_partition part{};
  part.pno = number;
  part.start = firstSector * 512;
  part.length = sectors * 512;
  blkpg_ioctl_arg arg{};
  arg.op = BLKPG_ADD_PARTITION;
  arg.datalen = sizeof part;
  arg.data = &part;
  const bool added = ::ioctl(fd, BLKPG, &arg) == 0;
  const int error = errno;
  ::close(fd);
  if (!added) {
    reason_ =
        "no partition " + std::to_string(number) + " on " + path_ + ": " + std::strerror(error);
    return {};
  }
  if (appears()) return path;
  reason_ = "the kernel made no " + path;
  return {};
}

bool LoopDevice::setReadOnly(bool readOnly) {
  if (!attached()) return false;
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flag = readOnly ? 1 : 0;
  const bool done = ::ioctl(fd, BLKROSET, &flag) == 0;
  ::close(fd);
  if (done) markedReadOnly_ = readOnly;
  return done;
}

void LoopDevice::detach() {
  if (!attached()) return;
  // Clear the mark for whoever gets this loop device next.
  setReadOnly(false);
  runProgram({"losetup", "--detach", path_});
  path_.clear();
}

}  // namespace testing_support
