# the spool folder's backlog
target_sources(spool_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/spool_backlog_test.cpp)
