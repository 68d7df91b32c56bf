# service manager notification (libsystemd), backlog, metrics
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET GLOBAL libsystemd)
target_sources(drv_platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/systemd_notifier.cpp
  ${CMAKE_CURRENT_LIST_DIR}/service_monitor.cpp
)
target_link_libraries(drv_platform PRIVATE PkgConfig::LIBSYSTEMD)
