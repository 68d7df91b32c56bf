# link integration tests
drv_add_test(tcp_connection_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_connection_test.cpp
  LIBS drvplatform
  LABELS integration)
