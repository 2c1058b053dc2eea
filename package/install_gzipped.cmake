# Install-time step: writes CABINET_GZIP_SOURCE compressed with gzip -9n (no name, no time stamp:
# every build gives the same bytes) to CABINET_GZIP_TARGET, relative to the prefix unless
# absolute.
if(NOT IS_ABSOLUTE "${CABINET_GZIP_TARGET}")
  set(CABINET_GZIP_TARGET "${CMAKE_INSTALL_PREFIX}/${CABINET_GZIP_TARGET}")
endif()
set(target "$ENV{DESTDIR}${CABINET_GZIP_TARGET}")
get_filename_component(directory "${target}" DIRECTORY)
file(MAKE_DIRECTORY "${directory}")
message(STATUS "Installing: ${target}")
execute_process(COMMAND gzip -9n -c "${CABINET_GZIP_SOURCE}" OUTPUT_FILE "${target}"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "gzip of ${CABINET_GZIP_SOURCE} failed: ${result}")
endif()
file(CHMOD "${target}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
