# The Linux plug-in inside Double Commander, driven by keys on a private X
# display (tests/doublecmd/*.sh). Needs doublecmd-gtk, xvfb, openbox, xdotool,
# imagemagick, x11-utils and the peer tools; each test leaves its screenshots
# in test-artefacts/doublecmd_<name> of the build folder. One DC at a time.
option(OMBRIX_DOUBLECMD_TEST "Run the Double Commander tests (need doublecmd-gtk and Xvfb)" OFF)

if(OMBRIX_DOUBLECMD_TEST)
  # copy_out: F5 out of an image; settings_dialog: the settings dialog through
  # DC's form dialogs, and the images it makes; write: copy in, overwrite,
  # delete, new image, move to archive.
  foreach(name copy_out settings_dialog write)
    add_test(NAME doublecmd_${name}
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/doublecmd/${name}.sh
              $<TARGET_FILE:ombrix_plugin> ${CMAKE_BINARY_DIR}/test-artefacts/doublecmd_${name})
    set_tests_properties(doublecmd_${name} PROPERTIES TIMEOUT 300 LABELS doublecmd RESOURCE_LOCK doublecmd)
  endforeach()
endif()
