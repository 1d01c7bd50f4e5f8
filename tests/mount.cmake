# `ombrix mount` driven as users drive it: a real FUSE mount, cp, rsync, mv,
# rm, df, and the peers reading what was copied in.
if(FUSE3_FOUND)
  add_test(NAME mount_fuse
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/mount/mount.sh $<TARGET_FILE:ombrix> ${CMAKE_SOURCE_DIR})
  set_tests_properties(mount_fuse PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
endif()
