# tests of the line protocol and supervision
drv_add_test(receiver_protocol_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/line_protocol_test.cpp ${CMAKE_CURRENT_LIST_DIR}/supervision_test.cpp
  LIBS drv_receiver
  LABELS unit)
