# Debian package: the tool in /opt/light-test/bin, so that its logs directory
# is /opt/light-test/bin/logs, and a systemd unit that runs it at boot.

set(LIGHT_TEST_PREFIX /opt/light-test)
install(TARGETS light_test RUNTIME DESTINATION bin)
install(FILES packaging/light-test.service DESTINATION /lib/systemd/system)
# The bus device comes from the i2c-dev module: loaded at every boot.
install(FILES packaging/modules-load.conf DESTINATION /usr/lib/modules-load.d
        RENAME light-test.conf)
install(FILES README.md packaging/copyright DESTINATION /usr/share/doc/light-test)
# Many boards, one view: the mtail program where Debian's mtail finds it, a
# drop-in that has mtail follow the log in the board's time zone, and the
# alert rules and console page for the central Prometheus.
install(FILES monitoring/light_test.mtail DESTINATION /etc/mtail)
install(FILES monitoring/mtail-light-test.conf DESTINATION /lib/systemd/system/mtail.service.d
        RENAME light-test.conf)
install(FILES monitoring/light_test.rules.yml DESTINATION /usr/share/light-test/monitoring)
install(FILES monitoring/consoles/light.html DESTINATION /usr/share/light-test/monitoring/consoles)
# A static tool is on purpose: one executable for every 32-bit ARM board,
# the ARMv6 ones included, whatever their libraries.
file(READ packaging/lintian-overrides lintian_overrides)
if(LIGHT_TEST_STATIC)
  string(APPEND lintian_overrides
         "# One executable for every 32-bit ARM board, ARMv6 included, whatever its libraries.\n"
         "light-test: statically-linked-binary [opt/light-test/bin/light_test]\n")
endif()
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides "${lintian_overrides}")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lintian-overrides DESTINATION /usr/share/lintian/overrides
        RENAME light-test)

# Debian wants the changelog compressed, with no timestamp in it.
set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${changelog_gz}
  COMMAND gzip -n -9 -c ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog > ${changelog_gz}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${changelog_gz})
install(FILES ${changelog_gz} DESTINATION /usr/share/doc/light-test)

# The package's architecture is the one the tool is built for, unless the
# toolchain names another (a static tool runs on more than its libraries'
# architecture).
if(DEFINED LIGHT_TEST_PACKAGE_ARCH)
  set(deb_arch ${LIGHT_TEST_PACKAGE_ARCH})
elseif(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME light-test)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${LIGHT_TEST_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "light-test developers <dev@light-test.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ambient light measuring tool for BH1750-type I2C sensors")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "Finds an ambient light sensor with the BH1750 command set at 0x23 or 0x5C\n"
       "on /dev/i2c-0 and logs its reading in lux once a second, to standard\n"
       "output and to a size-rotated file in /opt/light-test/bin/logs. A systemd\n"
       "unit runs it at boot as the unprivileged user light-test, with access to\n"
       "the bus device and its logs only, and restarts it while the sensor is not\n"
       "answering.")
# Dependencies come from the shared libraries the tool links (none for a
# static tool), plus what the service needs: its user is made with adduser,
# and i2c-tools makes the group i2c and the udev rule that gives it the bus
# device.
if(LIGHT_TEST_STATIC)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# debconf asks for the bus.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, i2c-tools, debconf (>= 0.5) | debconf-2.0")
# mtail turns the log into metrics for Prometheus; the tool does not need it.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "mtail")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/conffiles
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/config
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/templates
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postinst
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/prerm
    ${CMAKE_CURRENT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps looks up the libraries of the package's architecture.
set(LIGHT_TEST_DEB_ARCH ${deb_arch})
configure_file(cmake/cpack-project-config.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/cpack-project-config.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/cpack-project-config.cmake)
include(CPack)
