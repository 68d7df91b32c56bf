# Installation layout and the Debian package. Included from the top-level CMakeLists.
include(GNUInstallDirs)

if(TARGET msgserver)
  install(PROGRAMS $<TARGET_FILE:msgserver> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME drvlarna-msgserver)
endif()
if(TARGET receiver-sim)
  install(PROGRAMS $<TARGET_FILE:receiver-sim> DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME drvlarna-receiver-sim)
endif()

set(DRV_ICON_DIR ${PROJECT_SOURCE_DIR}/src/gui/resources)
install(FILES ${DRV_ICON_DIR}/app.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME drvlarna.png)
install(FILES ${DRV_ICON_DIR}/status.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        RENAME drvlarna-status.png)
install(FILES ${DRV_ICON_DIR}/setup.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        RENAME drvlarna-setup.png)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/drvlarna.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# systemd looks in /lib/systemd/system whatever the prefix; the unit names /usr/bin/drvlarna.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/drvlarna.service ${CMAKE_CURRENT_LIST_DIR}/drvlarna@.service
        DESTINATION lib/systemd/system)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/drvlarna.ini.example DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME drvlarna)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Alarm receiver driver for the central monitoring station")
set(CPACK_PACKAGE_CONTACT "drvlarna maintainers <drvlarna@localhost>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "drvlarna maintainers <drvlarna@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The Qt serial-port library is loaded through libQt6SerialPort and found by shlibdeps;
# the offscreen/xcb platform plugins are not, so the GUI plugin package is named here.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_STRIP_FILES ON)
include(CPack)
