# frames, send queue, greeting, link steps and thread
target_sources(drvcore PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frames.cpp
)
