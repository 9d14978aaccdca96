#include "win32_disk_services.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Win32DiskServices, AnUnmappedLetterHasNoDevice) {
  card::Win32DiskServices disk;
  std::string target;
  EXPECT_FALSE(disk.queryDosDevice("Q:", target));
  EXPECT_NE(disk.lastError(), 0u);
}

}  // namespace
