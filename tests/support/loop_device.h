// A loop device over a file, with direct I/O, for runs against a real block
// device. Attached on construction, detached on destruction, whatever
// happened in between.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

// Runs a program (no shell) and returns its exit status; `output` receives
// what it wrote to its standard output, `errors` its standard error.
int runProgram(const std::vector<std::string>& argv, std::string* output = nullptr,
               std::string* errors = nullptr);

class LoopDevice {
 public:
  struct Options {
    bool readOnly = false;
    unsigned sectorBytes = 0;  // 0: the loop driver's default (512)
    // The kernel reads the backing file's partition table and makes a
    // device for each partition (loopNp1, ...).
    bool partitions = false;
  };

  // What the kernel itself counted on the device since it was made: the
  // witness of what a whole program did to it, whatever the program says.
  struct Counters {
    long long sectorsRead = 0;
    long long flushes = 0;
    // Why there are no counters (no device, a kernel that counts no
    // flushes); empty when they were read.
    std::string problem;
  };

  explicit LoopDevice(const std::string& backingFile) : LoopDevice(backingFile, Options{}) {}
  LoopDevice(const std::string& backingFile, const Options& options);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool attached() const { return !path_.empty(); }
  // Why there is no device, for the test's message.
  const std::string& reason() const { return reason_; }
  // True only where loop devices are not this user's to make (not root): a
  // test may skip then. As root, no device is a fault of this system.
  bool mayBeMissing() const { return mayBeMissing_; }
  const std::string& path() const { return path_; }
  // Whether the loop driver reads and writes the backing file with direct I/O.
  bool directIo() const;
  // The device's counters now (/sys/block/loopN/stat).
  Counters counters() const;
  // The device of the backing file's partition `number` (loopNp1, ...),
  // which its table places at `firstSector` for `sectors` sectors. A
  // kernel that reads no partition tables is told of it (BLKPG) as a
  // partitioning tool tells it. Empty, with `reason()`, when there is none.
  std::string partition(int number, long long firstSector, long long sectors);

  // Makes the device refuse writes from now on, also through descriptors
  // that are already open (or accept them again). The mark belongs to the
  // device node and outlives the attachment: whatever way the owner ends, it
  // is cleared before the device goes back to the system.
  bool setReadOnly(bool readOnly);
  // Detaches now; the destructor does nothing more. The backing file then
  // holds everything written through the device.
  void detach();

 private:
  std::string path_;
  std::string reason_;
  bool mayBeMissing_ = false;
  bool markedReadOnly_ = false;
};

}  // namespace testing_support
