# Runs at install time (cmake --install, and cpack staging its tree): where
# the configuration and the service unit go depends on the prefix the tree is
# installed to, which is only known then. As GNUInstallDirs does for the
# prefix /usr, the configuration goes to /etc and the unit to
# /lib/systemd/system; under any other prefix both stay below it.
#
# Set by the install(CODE) in packaging/CMakeLists.txt: OCELAM_PACKAGING_SOURCE,
# OCELAM_PACKAGING_BINARY, OCELAM_SYSCONFDIR, OCELAM_BINDIR, OCELAM_DOCDIR.

function(ocelam_full_path dir out)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" OR CMAKE_INSTALL_PREFIX STREQUAL "/")
  set(unit_dir "/lib/systemd/system")
  if(IS_ABSOLUTE "${OCELAM_SYSCONFDIR}")
    set(etc_dir "${OCELAM_SYSCONFDIR}/ocelam")
  else()
    set(etc_dir "/${OCELAM_SYSCONFDIR}/ocelam")
  endif()
else()
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  ocelam_full_path("${OCELAM_SYSCONFDIR}/ocelam" etc_dir)
endif()
ocelam_full_path("${OCELAM_BINDIR}" OCELAM_BIN_DIR)
ocelam_full_path("${OCELAM_DOCDIR}" OCELAM_DOC_DIR)
foreach(var etc_dir unit_dir OCELAM_BIN_DIR OCELAM_DOC_DIR)
  string(REGEX REPLACE "//+" "/" ${var} "${${var}}")
endforeach()
set(OCELAM_ETC_DIR "${etc_dir}")
set(OCELAM_STATE_DIR "/var/lib/ocelam")

# One scratch folder per destination: cpack and cmake --install of the same
# tree may run at once (the tests do).
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(work "${OCELAM_PACKAGING_BINARY}/install-time/${destination}")
file(MAKE_DIRECTORY "${work}")
configure_file("${OCELAM_PACKAGING_SOURCE}/ocelam.service.in" "${work}/ocelam.service" @ONLY)
file(WRITE "${work}/registry.ini" "[SOFTWARE\\Talvane\\Orvanta\\Settings]\nIniFilePath=${etc_dir}\n")

file(INSTALL DESTINATION "${unit_dir}" TYPE FILE FILES "${work}/ocelam.service")
file(INSTALL DESTINATION "${etc_dir}" TYPE FILE
     FILES "${OCELAM_PACKAGING_SOURCE}/../etc/ocelam.ini.sample"
           "${OCELAM_PACKAGING_SOURCE}/../etc/qxacam.ini.sample")
# The working configuration is installed only where there is none yet: a
# second install must not undo the operator's edits (the package marks both
# as configuration files, so dpkg keeps them on upgrades as well).
if(NOT EXISTS "$ENV{DESTDIR}${etc_dir}/registry.ini")
  file(INSTALL DESTINATION "${etc_dir}" TYPE FILE FILES "${work}/registry.ini")
endif()
if(NOT EXISTS "$ENV{DESTDIR}${etc_dir}/ocelam.ini")
  file(INSTALL DESTINATION "${etc_dir}" TYPE FILE
       FILES "${OCELAM_PACKAGING_SOURCE}/../etc/ocelam.ini.sample" RENAME ocelam.ini)
endif()
