# The real settings dialog of the Windows DLL under Wine on a private X
# server (tests/windows/dialog_wine.sh). Runs when OMBRIX_WINDOWS_BUILD names
# a mingw build folder with ombrix.wcx, ombrix.exe and dialog_driver.exe; the
# screenshots stay in test-artefacts/dialog_wine of this build.
set(OMBRIX_WINDOWS_BUILD "" CACHE PATH "mingw build folder whose DLL and host the Wine tests run")

if(OMBRIX_WINDOWS_BUILD)
  add_test(NAME windows_dialog_wine
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/dialog_wine.sh ${OMBRIX_WINDOWS_BUILD}
            ${CMAKE_BINARY_DIR}/test-artefacts/dialog_wine)
  set_tests_properties(windows_dialog_wine PROPERTIES TIMEOUT 900 LABELS windows)
endif()
