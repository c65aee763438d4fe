# The Qt window's tests; they run without a display.
if(WITH_QT)
  add_executable(test_window ${CMAKE_CURRENT_SOURCE_DIR}/test_window.cpp)
  target_link_libraries(test_window PRIVATE ui_qt Qt6::Test)
  add_test(NAME test_window COMMAND test_window)
  set_tests_properties(test_window PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" TIMEOUT 180)
endif()
