# serial integration tests
drv_add_test(serial_pty_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/pty_serial_test.cpp
  LIBS drv_platform
  LABELS integration)
