# Runs in cpack once the tree is staged and before the .deb is made
# (CPACK_PRE_BUILD_SCRIPTS). The files of the ini folder move to
# CPACK_OCELAM_SHARE, from where postinst places them: dpkg itself then
# writes nothing into a folder the service account can write.
set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(etc "${stage}${CPACK_OCELAM_ETC}")
set(share "${stage}${CPACK_OCELAM_SHARE}")
if(NOT IS_DIRECTORY "${etc}")
  message(FATAL_ERROR "deb_stage.cmake: no ${CPACK_OCELAM_ETC} in the staged tree ${stage}")
endif()
file(MAKE_DIRECTORY "${share}")
file(GLOB files "${etc}/*")
foreach(file IN LISTS files)
  get_filename_component(name "${file}" NAME)
  file(RENAME "${file}" "${share}/${name}")
endforeach()
# The folder itself goes too, and its parent (/etc) when nothing else is there.
file(REMOVE_RECURSE "${etc}")
get_filename_component(parent "${etc}" DIRECTORY)
file(GLOB rest "${parent}/*")
if(NOT rest)
  file(REMOVE_RECURSE "${parent}")
endif()
