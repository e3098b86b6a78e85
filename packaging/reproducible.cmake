# Read by cpack (CPACK_PROJECT_CONFIG_FILE): the times in the packages are
# the last commit's, so that two package builds of one commit are the same
# byte for byte, unless the builder gives SOURCE_DATE_EPOCH itself.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_TABLE5_COMMIT_TIME)
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_TABLE5_COMMIT_TIME}")
endif()
