# Windows: settings for every source and program.

# A small tool: the Windows build, card writer included, is optimised for size.
set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG")
# Every Windows source: the lean headers, and no min/max macros.
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX)
# No link time in the executables' headers: the same sources give the
# same bytes.
add_link_options(-Wl,--no-insert-timestamp)
