# Install-time step: writes a systemd unit from its template with the paths of this installation,
# so that the unit names the programs where this install (or the package) puts them.
# Set by the caller: CABINET_UNIT_TEMPLATE, CABINET_UNIT_NAME, CABINET_UNIT_DIR,
# CABINET_UNIT_SBINDIR, CABINET_UNIT_LIBEXECDIR (the last three relative to the prefix unless
# absolute).
foreach(kind DIR SBINDIR LIBEXECDIR)
  if(NOT IS_ABSOLUTE "${CABINET_UNIT_${kind}}")
    set(CABINET_UNIT_${kind} "${CMAKE_INSTALL_PREFIX}/${CABINET_UNIT_${kind}}")
  endif()
endforeach()
file(READ "${CABINET_UNIT_TEMPLATE}" unit)
string(REPLACE "@CABINET_SBINDIR@" "${CABINET_UNIT_SBINDIR}" unit "${unit}")
string(REPLACE "@CABINET_LIBEXECDIR@" "${CABINET_UNIT_LIBEXECDIR}/cabinet" unit "${unit}")
set(target "$ENV{DESTDIR}${CABINET_UNIT_DIR}/${CABINET_UNIT_NAME}")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${unit}")
file(CHMOD "${target}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
