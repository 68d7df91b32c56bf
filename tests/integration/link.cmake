# link integration tests
drv_add_test(tcp_connection_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tcp_connection_test.cpp
  LIBS drv_platform
  LABELS integration)

drv_add_test(msgserver_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/msgserver_test.cpp
  LIBS drv_platform
  LABELS integration)
# The test runs the built server as its peer.
add_dependencies(msgserver_test msgserver)
target_compile_definitions(msgserver_test PRIVATE DRV_MSGSERVER_PATH="$<TARGET_FILE:msgserver>")
