# serial port component, COM names, line settings
target_sources(drv_receiver PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/serial_port_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/com_names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_settings.cpp
)
target_sources(drv_receiver PRIVATE ${CMAKE_CURRENT_LIST_DIR}/port_recovery.cpp)
