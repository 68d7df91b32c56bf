# frames, send queue, greeting, link steps and thread
target_sources(drvcore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frames.cpp
  ${CMAKE_CURRENT_LIST_DIR}/send_queue.cpp
  ${CMAKE_CURRENT_LIST_DIR}/greeting.cpp
  ${CMAKE_CURRENT_LIST_DIR}/server_link.cpp
)
