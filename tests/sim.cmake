# The simulated charger, driven over its pty by byte-exact frames composed in the test.
add_executable(test_sim ${CMAKE_CURRENT_SOURCE_DIR}/test_sim.cpp)
target_link_libraries(test_sim PRIVATE chargersim GTest::gtest_main)
target_compile_definitions(test_sim PRIVATE CHARGER_SIM_PATH="$<TARGET_FILE:charger-sim>")
add_dependencies(test_sim charger-sim)
gtest_discover_tests(test_sim)

# The real sender and serial channel against the simulator.
add_executable(test_transfer_e2e ${CMAKE_CURRENT_SOURCE_DIR}/test_transfer_e2e.cpp)
target_link_libraries(test_transfer_e2e PRIVATE ymodem serial chargersim GTest::gtest_main)
gtest_discover_tests(test_transfer_e2e PROPERTIES TIMEOUT 60)
