# The dialog engine on a recording surface, against the simulated charger.
add_library(test_support STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/support/recording_surface.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/engine_fixture.cpp)
target_include_directories(test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(test_support PUBLIC ui chargersim GTest::gtest)

add_executable(test_dialog
  ${CMAKE_CURRENT_SOURCE_DIR}/test_dialog_link.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_dialog_image.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_dialog_session.cpp)
target_link_libraries(test_dialog PRIVATE test_support ui chargersim GTest::gtest_main)
gtest_discover_tests(test_dialog DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
