# What `cmake --install` puts under the prefix (default /usr/local), and the
# release package (CPack, one .tar.gz of that same layout) that
# scripts/release makes:
#   sbin/zomaktvproxy                        the program
#   share/man/man8/zomaktvproxy.8            its manual page
#   etc/init.d/zomaktvproxy                  SysV init script (busybox sh will do)
#   lib/systemd/system/zomaktvproxy.service  systemd unit
#   share/zomaktvproxy/ca-certificates.crt   trusted certificates for https, for a
#                                            box that has none (ZTV_CA_BUNDLE_FILE)
#   share/doc/zomaktvproxy/                  the licence, and a notice of what the
#                                            program carries with the copyright
#                                            files of those parts
include(GNUInstallDirs)

set(ZTV_PACKAGE_TARGET "${CMAKE_SYSTEM_PROCESSOR}" CACHE STRING
    "target name in the package file name (native, i686, armhf, mipsel, ...)")

# Where the files land, for the init script, the unit and the manual page.
# Made from the relative directories that install() uses: GNUInstallDirs'
# FULL_ names can point elsewhere (for a prefix /opt/NAME its FULL_SYSCONFDIR
# is /etc/opt/NAME, while etc/ goes under the prefix).
foreach(file IN ITEMS "${CMAKE_INSTALL_SBINDIR}/zomaktvproxy"
                      "${CMAKE_INSTALL_SYSCONFDIR}/init.d/zomaktvproxy"
                      "lib/systemd/system/zomaktvproxy.service")
  cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" NORMALIZE)
  list(APPEND ZTV_INSTALLED_FILES "${file}")
endforeach()
list(GET ZTV_INSTALLED_FILES 0 ZTV_INSTALLED_PROGRAM)
list(GET ZTV_INSTALLED_FILES 1 ZTV_INSTALLED_INIT_SCRIPT)
list(GET ZTV_INSTALLED_FILES 2 ZTV_INSTALLED_UNIT)
configure_file(dist/zomaktvproxy.8.in zomaktvproxy.8 @ONLY)
configure_file(dist/zomaktvproxy.init.in zomaktvproxy.init @ONLY)
configure_file(dist/zomaktvproxy.service.in zomaktvproxy.service @ONLY)

install(TARGETS zomaktvproxy RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zomaktvproxy.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/zomaktvproxy.init
        DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/init.d RENAME zomaktvproxy)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zomaktvproxy.service DESTINATION lib/systemd/system)
# The program looks for the bundle there (ZTV_CA_BUNDLE_INSTALLED) when the
# system has none of its own; scripts/release gives Debian's.
set(ZTV_CA_BUNDLE_FILE "" CACHE FILEPATH "PEM bundle of trusted certificates to install beside the program")
if(ZTV_TLS AND ZTV_CA_BUNDLE_FILE)
  install(FILES ${ZTV_CA_BUNDLE_FILE} DESTINATION ${CMAKE_INSTALL_DATADIR}/zomaktvproxy RENAME ca-certificates.crt)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/notice.cmake)

set(CPACK_GENERATOR TGZ)
set(CPACK_PACKAGE_NAME zomaktvproxy)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "zomaktvproxy-${PROJECT_VERSION}-${ZTV_PACKAGE_TARGET}")
# The archive holds the install layout itself, to be unpacked into the prefix.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/package)
include(CPack)
