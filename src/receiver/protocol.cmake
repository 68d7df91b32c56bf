# line protocol and station link supervision
target_sources(drv_receiver PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/line_protocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/supervision.cpp
)
