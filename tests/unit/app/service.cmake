# rotating logs, backlog, service notification plan and metrics
target_sources(app_tests PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/backlog_monitor_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_notify_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/metrics_test.cpp
)
