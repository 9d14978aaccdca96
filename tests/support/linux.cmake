# Loop devices made for a test or the benchmark, and removed afterwards.
add_library(loop_device STATIC loop_device.cpp)
target_include_directories(loop_device PUBLIC ${PROJECT_SOURCE_DIR})
