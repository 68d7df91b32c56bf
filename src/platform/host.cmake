target_sources(drvplatform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/driver_host.cpp)
