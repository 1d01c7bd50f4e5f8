# What the Linux build installs, and the Debian package CPack makes of it
# (`cpack` in the build folder gives ombrix_<version>_amd64.deb). The plug-in
# and its sample stay together in /usr/lib/ombrix: the plug-in copies the
# sample from its own folder, and the host, which has the plug-in linked in,
# finds the sample there through <bin>/../lib/ombrix, and so does the static
# host's helper for --plugin.
install(TARGETS ombrix RUNTIME DESTINATION bin)
if(TARGET ombrix_plugin_host)
  install(TARGETS ombrix_plugin_host RUNTIME DESTINATION lib/ombrix)
endif()
install(TARGETS ombrix_plugin LIBRARY DESTINATION lib/ombrix)
install(FILES resources/ombrix.sample DESTINATION lib/ombrix)
install(FILES README.md packaging/copyright DESTINATION share/doc/ombrix)
install(FILES packaging/lintian-overrides DESTINATION share/lintian/overrides RENAME ombrix)
# Completion of commands, options and the files inside an image, found by
# bash-completion's loader on first use of `ombrix`.
install(FILES packaging/ombrix.bash-completion DESTINATION share/bash-completion/completions RENAME ombrix)
# Debian wants the manual page and the changelog compressed (gzip -n: the same
# bytes at every build).
find_program(GZIP gzip)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND ${GZIP} -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(ombrix_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz DESTINATION share/doc/ombrix)
if(HELP2MAN)
  # ombrix.1.gz comes with ombrix.1 (the manual's rule, CMakeLists.txt).
  install(FILES ${CMAKE_BINARY_DIR}/ombrix.1.gz DESTINATION share/man/man1)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ombrix)
set(CPACK_PACKAGE_VENDOR "OMBRIX developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packer plug-in for Commodore disk and tape images")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Lets a file manager treat D64, D71, D80, D81 and D82 disk images and T64 tapes
as archives: list, extract, add and delete files. Holds the plug-in for Double
Commander (/usr/lib/ombrix/ombrix.wcx) and the command-line host ombrix.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "OMBRIX developers <developers@ombrix.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
# `ombrix mount` runs fusermount3.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fuse3")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "doublecmd-gtk | doublecmd-qt")
# Depends from the libraries the binaries really link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
