add_executable(test_ymodem
  ${CMAKE_CURRENT_SOURCE_DIR}/test_crc16.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_blocks.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_sender.cpp)
target_link_libraries(test_ymodem PRIVATE ymodem GTest::gtest_main)
gtest_discover_tests(test_ymodem)
