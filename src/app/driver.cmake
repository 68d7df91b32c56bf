target_sources(drv_app PRIVATE ${CMAKE_CURRENT_LIST_DIR}/driver.cpp ${CMAKE_CURRENT_LIST_DIR}/port_controls.cpp)
