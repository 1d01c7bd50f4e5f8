# The packages CPack makes (cmake/debian-package.cmake, cmake/windows-zip):
# the Debian package of this build, unpacked into a scratch root, lists and
# extracts the sample image; the Windows ZIP of the two mingw builds named by
# OMBRIX_WINDOWS_BUILD and OMBRIX_WINDOWS_BUILD64 holds the plug-in files and
# its pluginst.inf. Sanitizer builds are no packages of ours.
if(NOT OMBRIX_SANITIZE AND NOT OMBRIX_SANITIZE_THREAD)
  add_test(NAME package_deb
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/package/deb.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR})
  set_tests_properties(package_deb PROPERTIES TIMEOUT 300 LABELS package)
endif()

if(OMBRIX_WINDOWS_BUILD AND OMBRIX_WINDOWS_BUILD64)
  add_test(NAME package_zip
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/package/zip.sh ${OMBRIX_WINDOWS_BUILD} ${OMBRIX_WINDOWS_BUILD64}
            ${CMAKE_SOURCE_DIR})
  set_tests_properties(package_zip PROPERTIES TIMEOUT 300 LABELS package)
endif()
