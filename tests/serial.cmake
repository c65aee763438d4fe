add_executable(test_serial ${CMAKE_CURRENT_SOURCE_DIR}/test_serial.cpp)
target_link_libraries(test_serial serial GTest::gtest_main)
gtest_discover_tests(test_serial)
