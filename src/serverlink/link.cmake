# send queue, link steps and thread
target_sources(drv_serverlink PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/send_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_link.cpp
)
