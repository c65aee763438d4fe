# Windows-only units: cross-built, run under Wine by scripts/test-windows.sh.
if(WIN32)
  add_executable(test_win32_ui ${CMAKE_CURRENT_SOURCE_DIR}/test_win32_ui.cpp
                               $<TARGET_OBJECTS:win32_resources>)
  target_link_libraries(test_win32_ui PRIVATE ui_win32 GTest::gtest_main)
  add_executable(test_win32_serial ${CMAKE_CURRENT_SOURCE_DIR}/test_win32_serial.cpp)
  target_link_libraries(test_win32_serial PRIVATE serial GTest::gtest_main)
  add_executable(test_win32_ports ${CMAKE_CURRENT_SOURCE_DIR}/test_win32_ports.cpp)
  target_link_libraries(test_win32_ports PRIVATE charger GTest::gtest_main)
  add_executable(test_win32_files ${CMAKE_CURRENT_SOURCE_DIR}/test_win32_files.cpp)
  target_link_libraries(test_win32_files PRIVATE image win32_text GTest::gtest_main)
endif()
