# The ids this build names everywhere, as KELTO_HOST_NAME, KELTO_CHROMIUM_ID,
# KELTO_CHROMIUM_ORIGIN and KELTO_FIREFOX_ID, and in the file
# KELTO_BUILD_IDENTITY for the scripts that write manifests: those of
# packaging/identity.json, or, for a build given the extension's private key,
# the Chromium id of that key (browser/pack.mjs derives it and says so when it
# differs). The key itself stays where it is: only its path is kept.
include_guard(GLOBAL)
set(KELTO_EXTENSION_KEY "$ENV{KELTO_EXTENSION_KEY}" CACHE FILEPATH
    "PEM private key (RSA) the extension is packed and signed with; empty: no .crx, the ids of packaging/identity.json")
set(KELTO_IDENTITY_FILE ${CMAKE_SOURCE_DIR}/packaging/identity.json)
set(KELTO_PACK_SCRIPT ${CMAKE_SOURCE_DIR}/browser/pack.mjs)
set(KELTO_BUILD_IDENTITY ${CMAKE_BINARY_DIR}/packaging/identity.json)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${KELTO_IDENTITY_FILE})
if(KELTO_EXTENSION_KEY)
  get_filename_component(KELTO_EXTENSION_KEY ${KELTO_EXTENSION_KEY} ABSOLUTE)
  find_program(KELTO_NODE node)
  if(NOT KELTO_NODE)
    message(FATAL_ERROR "KELTO_EXTENSION_KEY needs Node.js (scripts/bootstrap.sh installs it)")
  endif()
  execute_process(COMMAND ${KELTO_NODE} ${KELTO_PACK_SCRIPT} --identity-only
                          --key ${KELTO_EXTENSION_KEY} --out ${KELTO_BUILD_IDENTITY}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "KELTO_EXTENSION_KEY: no extension id from ${KELTO_EXTENSION_KEY}")
  endif()
  # A new key at the same path is a new id.
  set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${KELTO_EXTENSION_KEY})
else()
  configure_file(${KELTO_IDENTITY_FILE} ${KELTO_BUILD_IDENTITY} COPYONLY)
endif()
file(READ ${KELTO_BUILD_IDENTITY} kelto_identity)
string(JSON KELTO_HOST_NAME GET "${kelto_identity}" hostName)
string(JSON KELTO_CHROMIUM_ID GET "${kelto_identity}" chromiumExtensionId)
string(JSON KELTO_FIREFOX_ID GET "${kelto_identity}" firefoxAddonId)
set(KELTO_CHROMIUM_ORIGIN "chrome-extension://${KELTO_CHROMIUM_ID}/")
