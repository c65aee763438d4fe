add_executable(test_image ${CMAKE_CURRENT_SOURCE_DIR}/test_image.cpp)
target_link_libraries(test_image PRIVATE image GTest::gtest_main)
gtest_discover_tests(test_image)

add_executable(test_charger ${CMAKE_CURRENT_SOURCE_DIR}/test_charger.cpp)
target_link_libraries(test_charger PRIVATE charger GTest::gtest_main)
gtest_discover_tests(test_charger)
