# The command-line face's text helpers.
add_executable(test_terminal_text ${CMAKE_CURRENT_SOURCE_DIR}/test_terminal_text.cpp)
target_link_libraries(test_terminal_text PRIVATE ui GTest::gtest_main)
gtest_discover_tests(test_terminal_text)
