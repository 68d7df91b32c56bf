# driver integration tests: the built programs as black boxes (ptys and loopback only).
drv_add_test(receiver_sim_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/receiver_sim_test.cpp
  LIBS drv_base
  LABELS integration)
add_dependencies(receiver_sim_test receiver-sim)

drv_add_test(driver_e2e_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/driver_e2e_test.cpp
  LIBS drv_wire
  LABELS e2e)
add_dependencies(driver_e2e_test drvlarna receiver-sim msgserver)
