# Linux block devices: the POSIX calls (posix_disk_services), what only
# Linux has (its ioctls and sysfs), the system's facts read once per command,
# and the rule of what counts as a card there, as one table.
add_library(card_posix STATIC
  posix_disk_services.cpp
  linux_disk_services.cpp
  linux_system.cpp
  linux_card_rule.cpp
  linux_cards.cpp)
target_link_libraries(card_posix PUBLIC disk_files)
add_library(card_platform ALIAS card_posix)
