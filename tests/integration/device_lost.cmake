# the driver program with a receiver device that goes away and comes back
drv_add_test(driver_device_lost_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/driver_device_lost_test.cpp
  LIBS drv_base
  LABELS integration)
if(TARGET drvlarna)
  add_dependencies(driver_device_lost_tests drvlarna)
endif()
