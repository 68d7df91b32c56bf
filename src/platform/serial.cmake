# Qt serial device and poll timer
target_sources(drv_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/qt_serial_device.cpp
  ${CMAKE_CURRENT_LIST_DIR}/qt_poll_timer.cpp
)
