# The supervisor and auto-program mode, with the engine against the simulated charger.
add_executable(test_supervisor ${CMAKE_CURRENT_SOURCE_DIR}/test_supervisor.cpp)
target_link_libraries(test_supervisor PRIVATE test_support ui chargersim GTest::gtest_main)
gtest_discover_tests(test_supervisor DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
