# Run by the install step (cmake --install, CPack), from cmake/debian.cmake:
# puts the packed extension where the browsers and administrators look for
# it, and sets KELTO_INSTALL_IDENTITY, the ids the host manifests must name.
#
# KELTO_EXTENSION_KEY in the environment of that run packs the extension once
# more with that key, for this installation only: a tree built without the key
# (or with another) is packaged signed without building anything else, and its
# own packs in KELTO_PACKED_DIR stay as they are.
foreach(var KELTO_PACKED_DIR KELTO_NODE KELTO_PACK_SCRIPT KELTO_PACK_ARGS KELTO_PACK_VERSION
            KELTO_EXTENSION_INSTALL_DIR KELTO_DOC_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "extension-install.cmake needs ${var}")
  endif()
endforeach()

set(packed ${KELTO_PACKED_DIR})
if(NOT "$ENV{KELTO_EXTENSION_KEY}" STREQUAL "")
  get_filename_component(key "$ENV{KELTO_EXTENSION_KEY}" ABSOLUTE)
  if(NOT key STREQUAL "${KELTO_EXTENSION_KEY}")
    set(packed ${KELTO_PACKED_DIR}-install)
    file(REMOVE_RECURSE ${packed})
    execute_process(COMMAND ${KELTO_NODE} ${KELTO_PACK_SCRIPT} --out ${packed} ${KELTO_PACK_ARGS}
                            --key ${key}
                    RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "Packing the extension with $ENV{KELTO_EXTENSION_KEY} failed")
    endif()
  endif()
endif()
set(KELTO_INSTALL_IDENTITY ${packed}/identity.json)
file(READ ${KELTO_INSTALL_IDENTITY} identity)
string(JSON id GET "${identity}" chromiumExtensionId)

set(read_only FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
    DIR_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                    WORLD_READ WORLD_EXECUTE)
# Debian's Chromium launcher loads every entry of this folder at each start,
# so it holds our folder and never a file of ours.
file(INSTALL ${packed}/chromium/ DESTINATION /usr/share/chromium/extensions/keltodatasigned
     ${read_only})
file(INSTALL ${packed}/keltoDataSigned-${KELTO_PACK_VERSION}-firefox.xpi
     DESTINATION ${KELTO_EXTENSION_INSTALL_DIR} ${read_only})
if(EXISTS ${packed}/keltoDataSigned-${KELTO_PACK_VERSION}.crx)
  file(INSTALL ${packed}/keltoDataSigned-${KELTO_PACK_VERSION}.crx ${packed}/updates.xml
       DESTINATION ${KELTO_EXTENSION_INSTALL_DIR} ${read_only})
  # Google Chrome installs the .crx this file names at its next start.
  file(INSTALL ${packed}/${id}.json DESTINATION /usr/share/google-chrome/extensions ${read_only})
endif()
file(INSTALL ${packed}/policies/ DESTINATION ${CMAKE_INSTALL_PREFIX}/${KELTO_DOC_DIR}/policies
     ${read_only})
