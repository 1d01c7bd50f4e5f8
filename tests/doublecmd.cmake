# The Linux plug-in inside Double Commander, driven by keys on a private X
# display. Needs doublecmd-gtk, xvfb, openbox, xdotool, imagemagick and
# x11-utils; leaves its screenshot in the build folder (tests/doublecmd).
option(OMBRIX_DOUBLECMD_TEST "Run the Double Commander test (needs doublecmd-gtk and Xvfb)" OFF)

if(OMBRIX_DOUBLECMD_TEST)
  add_test(NAME doublecmd_copy_out
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/doublecmd/copy_out.sh
            $<TARGET_FILE:ombrix_plugin> ${CMAKE_CURRENT_BINARY_DIR}/doublecmd)
  set_tests_properties(doublecmd_copy_out PROPERTIES TIMEOUT 300 LABELS doublecmd)
endif()
