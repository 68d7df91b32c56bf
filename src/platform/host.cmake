target_sources(drv_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/driver_host.cpp)
