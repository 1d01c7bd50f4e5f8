# The Windows DLLs: their export and import tables, and under Wine the same
# results as the Linux build. Point OMBRIX_WINDOWS_BUILD at a 32-bit mingw
# build folder (ombrix.wcx, ombrix.exe, ombrix.sample) and OMBRIX_WINDOWS_BUILD64
# at a 64-bit one (ombrix.wcx64, ...) to register these tests for each; the
# scripts tell the flavour from the folder. 64-bit tests are named windows64_*.
set(OMBRIX_WINDOWS_BUILD "" CACHE PATH "32-bit mingw build folder whose DLL and host the Wine tests run")
set(OMBRIX_WINDOWS_BUILD64 "" CACHE PATH "64-bit mingw build folder whose DLL and host the Wine tests run")

set(windows_tests ${CMAKE_CURRENT_SOURCE_DIR}/windows)
# Real tape images are read where they lie, when they are there: beside the
# checkout, under $OMBRIX_SHARED, or in /work/shared (as the unit tests look).
get_filename_component(ombrix_real_images ${CMAKE_SOURCE_DIR}/../shared/realimages ABSOLUTE)
if(NOT EXISTS ${ombrix_real_images} AND DEFINED ENV{OMBRIX_SHARED})
  set(ombrix_real_images $ENV{OMBRIX_SHARED}/realimages)
endif()
if(NOT EXISTS ${ombrix_real_images})
  set(ombrix_real_images /work/shared/realimages)
endif()

foreach(bits "" 64)
  set(winbuild ${OMBRIX_WINDOWS_BUILD${bits}})
  if(NOT winbuild)
    continue()
  endif()
  set(prefix windows${bits})
  add_test(NAME ${prefix}_exports
    COMMAND sh ${windows_tests}/exports.sh ${winbuild})
  add_test(NAME ${prefix}_wine_compare
    COMMAND sh ${windows_tests}/compare.sh ${winbuild}
            $<TARGET_FILE:ombrix> $<TARGET_FILE:ombrix_plugin> ${ombrix_real_images})
  add_test(NAME ${prefix}_wine_settings
    COMMAND sh ${windows_tests}/settings.sh ${winbuild})
  add_test(NAME ${prefix}_wine_unicode
    COMMAND sh ${windows_tests}/unicode.sh ${winbuild})
  set_tests_properties(${prefix}_exports ${prefix}_wine_compare ${prefix}_wine_settings ${prefix}_wine_unicode
    PROPERTIES TIMEOUT 900 LABELS windows SKIP_RETURN_CODE 77)

  # Dialog checks under Wine: WINBUILD and a folder for their screenshots.
  file(GLOB dialog_scripts CONFIGURE_DEPENDS ${windows_tests}/dialog_*.sh)
  foreach(script ${dialog_scripts})
    get_filename_component(name ${script} NAME_WE)
    if(NOT TEST ${prefix}_${name})
      add_test(NAME ${prefix}_${name}
        COMMAND sh ${script} ${winbuild} ${CMAKE_CURRENT_BINARY_DIR}/windows${bits}/${name})
      set_tests_properties(${prefix}_${name} PROPERTIES TIMEOUT 900 LABELS windows SKIP_RETURN_CODE 77)
    endif()
  endforeach()
endforeach()
