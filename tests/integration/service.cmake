# the driver as a service: command line, notifications, metrics, the shipped units
drv_add_test(service_process_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_process_test.cpp
  LIBS drv_base
  LABELS integration)
target_compile_definitions(service_process_tests PRIVATE DRV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
if(TARGET drvlarna)
  add_dependencies(service_process_tests drvlarna)
endif()
