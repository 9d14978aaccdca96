# Windows: file paths in UTF-16, and the real raw-disk calls.
target_sources(disk_files PRIVATE utf16.cpp)

add_library(card_win32 STATIC win32_disk_services.cpp win32_cards.cpp)
target_link_libraries(card_win32 PUBLIC disk_files setupapi advapi32)
add_library(card_platform ALIAS card_win32)
