target_sources(drvcore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/driver.cpp ${CMAKE_CURRENT_LIST_DIR}/port_controls.cpp)
