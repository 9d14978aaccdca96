// What the tests of the real Win32 disk services share. They run under Wine
// in the test prefix, where
//   G: is a floppy-type drive: \Device\Harddisk1, whose physical drive opens
//      but reports fixed media and refuses writes,
//   H: a hard-disk-type drive: a volume, \Device\HarddiskVolumeN,
//   I: a cdrom-type drive: \Device\CdRom0,
//   Q: no drive at all.
// Wine has no raw disk, so the refusals are tried on the letters and the
// handle calls on plain files; what only the system's answers decide is
// tested as a function of those answers.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tests/support/test_support.h"

namespace win32_disk_test {

constexpr std::size_t kBlock = 512;

// The handle value the system gives the next open. The system hands out the
// lowest free slot, so a run that leaves a handle open moves it; Wine does
// not count a process's handles (GetProcessHandleCount answers 0).
inline HANDLE nextHandle() {
  const HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  CloseHandle(probe);
  return probe;
}

inline std::vector<std::uint8_t> patternBlocks(std::int64_t first, std::int64_t count) {
  std::vector<std::uint8_t> bytes;
  for (std::int64_t block = first; block < first + count; ++block)
    for (std::size_t k = 0; k < kBlock; ++k)
      bytes.push_back(testing_support::patternByte(block, k));
  return bytes;
}

}  // namespace win32_disk_test
