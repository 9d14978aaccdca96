# Windows: file paths in UTF-16, and the real raw-disk calls, by job: the
# disk found and opened, the facts about it, lock and eject, block I/O, the
# system's own disks, and the card rule.
target_sources(disk_files PRIVATE utf16.cpp)

add_library(card_win32 STATIC
  win32_disk_services.cpp
  win32_disk_open.cpp
  win32_disk_facts.cpp
  win32_system.cpp
  win32_lock_eject.cpp
  win32_card_rule.cpp
  win32_cards.cpp)
target_link_libraries(card_win32 PUBLIC disk_files setupapi advapi32)
add_library(card_platform ALIAS card_win32)
