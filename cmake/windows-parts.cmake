# What Windows alone builds: the window program, and the tests that run
# under Wine (GoogleTest is built from its sources there, before the shared
# helpers).
add_subdirectory(ui)
if(QUENVORY_TESTS)
  add_subdirectory(tests/win32)
endif()
