# cmake -DSOURCE=<ui folder> -DDESTINATION=<bin/ui> -DSTAMP=<file> -P CopyUi.cmake
# Replaces DESTINATION with a copy of SOURCE; a missing SOURCE leaves an empty folder.
file(REMOVE_RECURSE "${DESTINATION}")
file(MAKE_DIRECTORY "${DESTINATION}")
if(EXISTS "${SOURCE}")
  file(COPY "${SOURCE}/" DESTINATION "${DESTINATION}")
endif()
file(TOUCH "${STAMP}")
