# TCP client
target_sources(drvplatform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/posix_tcp_connection.cpp)
