# What Linux alone builds: the native tests, with the sanitizers when asked,
# and the write benchmark.
if(QUENVORY_TESTS)
  find_package(GTest REQUIRED)
  add_subdirectory(tests/support)
  add_subdirectory(tests/card)
  add_subdirectory(tests/posix)
  add_subdirectory(tests/cli)
  # The benchmark makes its loop devices with the tests' helper.
  add_subdirectory(bench)
endif()
