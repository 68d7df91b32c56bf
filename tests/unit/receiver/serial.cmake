# tests of the serial port component
drv_add_test(receiver_serial_tests
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/serial_port_driver_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/serial_line_settings_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/com_names_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/port_recovery_test.cpp
  LIBS drv_receiver drv_app
  LABELS unit)
