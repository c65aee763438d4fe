# The serial channel's tests. test_serial_channel runs against both platforms' channels: here
# the far end is a pty in the test; cross-built, the Windows twin of the far end asks
# pty_peer_host (Linux) for one, and scripts/test-windows.sh runs it under Wine.
if(WIN32)
  add_executable(test_serial_channel ${CMAKE_CURRENT_SOURCE_DIR}/test_serial_channel.cpp
                                     ${CMAKE_CURRENT_SOURCE_DIR}/support/win32_port_peer.cpp)
  target_link_libraries(test_serial_channel PRIVATE ws2_32)
else()
  add_library(port_peer STATIC ${CMAKE_CURRENT_SOURCE_DIR}/support/posix_port_peer.cpp)
  target_include_directories(port_peer PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(port_peer PUBLIC GTest::gtest)

  add_executable(test_serial_channel ${CMAKE_CURRENT_SOURCE_DIR}/test_serial_channel.cpp)
  target_link_libraries(test_serial_channel PRIVATE port_peer)
  gtest_discover_tests(test_serial_channel)

  # The termios channel's own: faults injected through posix_sys_io, terminals it refuses.
  add_executable(test_serial ${CMAKE_CURRENT_SOURCE_DIR}/test_serial.cpp)
  target_link_libraries(test_serial PRIVATE serial port_peer GTest::gtest_main)
  gtest_discover_tests(test_serial)

  # Keeps the far ends for the Windows channel's run under Wine.
  add_executable(pty_peer_host ${CMAKE_CURRENT_SOURCE_DIR}/wine/pty_peer_host.cpp)
  target_link_libraries(pty_peer_host PRIVATE port_peer chargersim)
endif()
target_include_directories(test_serial_channel PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(test_serial_channel PRIVATE serial GTest::gtest_main)
