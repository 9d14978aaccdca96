// For GoogleTest cases that need a loop device: only a user who may not make
// loop devices skips; as root, a loop device that cannot be made is a
// failure, never a test that quietly did not run.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/loop_device.h"

#define ATTACH_OR_SKIP(loop)                                      \
  do {                                                            \
    if (!(loop).attached()) {                                     \
      if ((loop).mayBeMissing()) GTEST_SKIP() << (loop).reason(); \
      FAIL() << (loop).reason();                                  \
    }                                                             \
  } while (0)
