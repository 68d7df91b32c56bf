# line protocol and station link supervision
target_sources(drvcore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/line_protocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/supervision.cpp
)
