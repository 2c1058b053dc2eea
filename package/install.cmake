# Installation layout helpers, included before the programs' directories.
include(GNUInstallDirs)

set(CABINET_SYSTEMD_UNITDIR "lib/systemd/system"
    CACHE STRING "Directory of the systemd units, relative to the install prefix unless absolute")

# Installs FILE (beside the caller) into DESTINATION compressed, as FILE.gz: Debian wants manual
# pages and changelogs so.
function(cabinet_install_gzipped file destination)
  get_filename_component(name ${file} NAME)
  install(CODE "
    set(CABINET_GZIP_SOURCE \"${CMAKE_CURRENT_SOURCE_DIR}/${file}\")
    set(CABINET_GZIP_TARGET \"${destination}/${name}.gz\")
    include(\"${PROJECT_SOURCE_DIR}/package/install_gzipped.cmake\")")
endfunction()

# Installs the unit made from TEMPLATE (NAME.service.in beside the caller) under the unit
# directory, its program paths filled in at install time for the prefix installed to.
function(cabinet_install_unit template)
  get_filename_component(name ${template} NAME_WLE)
  install(CODE "
    set(CABINET_UNIT_TEMPLATE \"${CMAKE_CURRENT_SOURCE_DIR}/${template}\")
    set(CABINET_UNIT_NAME \"${name}\")
    set(CABINET_UNIT_DIR \"${CABINET_SYSTEMD_UNITDIR}\")
    set(CABINET_UNIT_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
    set(CABINET_UNIT_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}\")
    include(\"${PROJECT_SOURCE_DIR}/package/install_unit.cmake\")")
endfunction()
