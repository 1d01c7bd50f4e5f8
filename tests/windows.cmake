# The Windows DLL: its export and import tables, and under Wine the same
# results as the Linux build. Point OMBRIX_WINDOWS_BUILD at a mingw build
# folder (ombrix.wcx, ombrix.exe, ombrix.sample) to register these tests.
set(OMBRIX_WINDOWS_BUILD "" CACHE PATH "mingw build folder whose DLL and host the Wine tests run")

if(OMBRIX_WINDOWS_BUILD)
  set(windows_tests ${CMAKE_CURRENT_SOURCE_DIR}/windows)
  # Real tape images are read where they lie, when they are there.
  get_filename_component(ombrix_real_images ${CMAKE_SOURCE_DIR}/../shared/realimages ABSOLUTE)

  add_test(NAME windows_exports
    COMMAND sh ${windows_tests}/exports.sh ${OMBRIX_WINDOWS_BUILD})
  add_test(NAME windows_wine_compare
    COMMAND sh ${windows_tests}/compare.sh ${OMBRIX_WINDOWS_BUILD}
            $<TARGET_FILE:ombrix> $<TARGET_FILE:ombrix_plugin> ${ombrix_real_images})
  add_test(NAME windows_wine_settings
    COMMAND sh ${windows_tests}/settings.sh ${OMBRIX_WINDOWS_BUILD})
  set_tests_properties(windows_exports windows_wine_compare windows_wine_settings
    PROPERTIES TIMEOUT 900 LABELS windows)

  # Dialog checks under Wine: WINBUILD and a folder for their screenshots.
  file(GLOB dialog_scripts CONFIGURE_DEPENDS ${windows_tests}/dialog_*.sh)
  foreach(script ${dialog_scripts})
    get_filename_component(name ${script} NAME_WE)
    if(NOT TEST windows_${name})
      add_test(NAME windows_${name}
        COMMAND sh ${script} ${OMBRIX_WINDOWS_BUILD} ${CMAKE_CURRENT_BINARY_DIR}/windows/${name})
      set_tests_properties(windows_${name} PROPERTIES TIMEOUT 900 LABELS windows)
    endif()
  endforeach()
endif()
