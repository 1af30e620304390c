# Installation of the manual page and the Debian package (cpack -G DEB).
# The program itself is installed by the top-level CMakeLists.txt.

# Debian ships manual pages compressed; -n keeps the archive free of a time
# stamp so that two builds of the same page give the same bytes.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(AMINSTALL_MANPAGE ${PROJECT_SOURCE_DIR}/man/aminstall.8)
set(AMINSTALL_MANPAGE_GZ ${PROJECT_BINARY_DIR}/man/aminstall.8.gz)
add_custom_command(
  OUTPUT ${AMINSTALL_MANPAGE_GZ}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
  COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${AMINSTALL_MANPAGE} > ${AMINSTALL_MANPAGE_GZ}
  DEPENDS ${AMINSTALL_MANPAGE}
  COMMENT "Compressing the manual page"
  VERBATIM)
add_custom_target(manpage ALL DEPENDS ${AMINSTALL_MANPAGE_GZ})
install(FILES ${AMINSTALL_MANPAGE_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME aminstall)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "MorvaGuard engine update team <update@morvaguard.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "install stage of the MorvaGuard engine updater")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Reads the manifest that the updater staged in /tmp/MorvaLinux, installs the"
  "changed engine files under /opt/morvaguard, starts the scanners, the checker"
  "daemon and the product service again, and records the update in the"
  "product's event log.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps derives the library packages (Crypto++, SQLite, the C++
# runtime) from the program itself, with the versions it was linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The systemd probe runs ps (procps); grep and sh are essential packages.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
set(CPACK_STRIP_FILES ON)
include(CPack)
