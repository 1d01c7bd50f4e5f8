# The real settings dialog of the Windows DLL under Wine on a private X
# server (tests/windows/dialog_wine.sh). Runs for each of OMBRIX_WINDOWS_BUILD
# (32-bit) and OMBRIX_WINDOWS_BUILD64 (64-bit) that names a mingw build folder
# with the DLL, ombrix.exe and dialog_driver.exe; the screenshots stay in
# test-artefacts/dialog_wine (dialog_wine64) of this build.
set(OMBRIX_WINDOWS_BUILD "" CACHE PATH "32-bit mingw build folder whose DLL and host the Wine tests run")
set(OMBRIX_WINDOWS_BUILD64 "" CACHE PATH "64-bit mingw build folder whose DLL and host the Wine tests run")

foreach(bits "" 64)
  if(OMBRIX_WINDOWS_BUILD${bits})
    add_test(NAME windows${bits}_dialog_wine
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/windows/dialog_wine.sh ${OMBRIX_WINDOWS_BUILD${bits}}
              ${CMAKE_BINARY_DIR}/test-artefacts/dialog_wine${bits})
    set_tests_properties(windows${bits}_dialog_wine PROPERTIES TIMEOUT 900 LABELS windows SKIP_RETURN_CODE 77)
  endif()
endforeach()
