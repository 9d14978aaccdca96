# Windows: quenvory-cli.exe, a console program, hashing with CNG.
target_sources(quenvory_cli_core PRIVATE
  platform_windows.cpp
  sha256_bcrypt.cpp
  stop_request_windows.cpp
  terminal_windows.cpp)
target_compile_definitions(quenvory_cli_core PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(quenvory_cli_core PUBLIC card_platform)
# Its manifest and version information, as Explorer shows it.
enable_language(RC)
configure_file(quenvory-cli.manifest.in ${CMAKE_CURRENT_BINARY_DIR}/quenvory-cli.manifest @ONLY)
set_source_files_properties(quenvory-cli.rc PROPERTIES
  INCLUDE_DIRECTORIES "${CMAKE_CURRENT_BINARY_DIR};${QUENVORY_RC_INCLUDE}"
  OBJECT_DEPENDS "${CMAKE_CURRENT_BINARY_DIR}/quenvory-cli.manifest;${QUENVORY_RC_DEPENDS}")
add_executable(quenvory_cli main_windows.cpp quenvory-cli.rc)
target_compile_definitions(quenvory_cli PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
# A console program, everything linked in, stripped: system DLLs only.
target_link_options(quenvory_cli PRIVATE -static -municode -s -Wl,--gc-sections)
set_target_properties(quenvory_cli PROPERTIES OUTPUT_NAME quenvory-cli)
