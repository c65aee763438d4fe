# charger-updater-cli as a child process, against the simulated charger in the test.
add_executable(test_cli ${CMAKE_CURRENT_SOURCE_DIR}/test_cli.cpp)
target_link_libraries(test_cli PRIVATE test_support chargersim GTest::gtest_main)
target_compile_definitions(test_cli PRIVATE CLI_PATH="$<TARGET_FILE:charger-updater-cli>")
add_dependencies(test_cli charger-updater-cli)
gtest_discover_tests(test_cli DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 90)
