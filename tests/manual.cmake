# The manual page that help2man makes from the host's --help renders, with
# the commands and options in it.
if(HELP2MAN)
  add_test(NAME manual_page
    COMMAND sh -c "MANWIDTH=100 man -l '${CMAKE_BINARY_DIR}/ombrix.1' | grep -q 'extract IMAGE \\[-C DIR\\]' && MANWIDTH=100 man -l '${CMAKE_BINARY_DIR}/ombrix.1' | grep -q -- '--version'")
  set_tests_properties(manual_page PROPERTIES TIMEOUT 60)
endif()
