# TCP client
target_sources(drv_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/posix_tcp_connection.cpp)
