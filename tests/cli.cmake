# charger-updater-cli as a child process, against the simulated charger in the test.
add_executable(test_cli ${CMAKE_CURRENT_SOURCE_DIR}/test_cli.cpp)
target_link_libraries(test_cli PRIVATE test_support chargersim GTest::gtest_main)
target_compile_definitions(test_cli PRIVATE CLI_PATH="$<TARGET_FILE:charger-updater-cli>")
add_dependencies(test_cli charger-updater-cli)
gtest_discover_tests(test_cli DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 90)

# The production-line commands and options, against several simulated chargers at once.
add_executable(test_production ${CMAKE_CURRENT_SOURCE_DIR}/test_production.cpp)
target_link_libraries(test_production PRIVATE test_support chargersim records GTest::gtest_main)
target_compile_definitions(test_production PRIVATE CLI_PATH="$<TARGET_FILE:charger-updater-cli>")
add_dependencies(test_production charger-updater-cli)
gtest_discover_tests(test_production DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 120)

# Records and JSON lines.
add_executable(test_records ${CMAKE_CURRENT_SOURCE_DIR}/test_records.cpp)
target_link_libraries(test_records PRIVATE records GTest::gtest_main)
gtest_discover_tests(test_records)

# The window's production settings from config.ini.
add_executable(test_engine_record ${CMAKE_CURRENT_SOURCE_DIR}/test_engine_record.cpp)
target_link_libraries(test_engine_record PRIVATE test_support chargersim engine_record
                                                 GTest::gtest_main)
gtest_discover_tests(test_engine_record DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
