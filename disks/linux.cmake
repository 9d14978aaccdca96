# Linux block devices, and the rule of what counts as a card there.
add_library(card_posix STATIC posix_disk_services.cpp linux_cards.cpp)
target_link_libraries(card_posix PUBLIC disk_files)
add_library(card_platform ALIAS card_posix)
