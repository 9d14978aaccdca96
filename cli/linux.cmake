# Linux: quenvory, hashing with the system's libcrypto.

# libcrypto is the system's shared library, so that a security update of
# it reaches the program; it is loaded when a hash is first asked for
# (sha256_openssl.cpp), so only its headers are needed here.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
target_sources(quenvory_cli_core PRIVATE
  platform_linux.cpp
  sha256_openssl.cpp
  stop_request_posix.cpp
  terminal_posix.cpp)
target_include_directories(quenvory_cli_core PRIVATE ${OPENSSL_INCLUDE_DIR})
target_link_libraries(quenvory_cli_core PUBLIC card_platform ${CMAKE_DL_LIBS})
add_executable(quenvory_cli main_posix.cpp)
set_target_properties(quenvory_cli PROPERTIES OUTPUT_NAME quenvory)
if(NOT QUENVORY_SANITIZE)
  # The C++ run-time linked in: the program starts nearly as fast as dd,
  # where a write of a few megabytes would otherwise spend a noticeable
  # part of its time loading it.
  target_link_options(quenvory_cli PRIVATE -static-libstdc++ -static-libgcc -Wl,--gc-sections)
endif()
