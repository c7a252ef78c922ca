# The host name and extension ids of packaging/identity.json, the one place
# they are written, as KELTO_HOST_NAME, KELTO_CHROMIUM_ORIGIN and
# KELTO_FIREFOX_ID for the packages' defaults.
set(KELTO_IDENTITY_FILE ${CMAKE_SOURCE_DIR}/packaging/identity.json)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${KELTO_IDENTITY_FILE})
file(READ ${KELTO_IDENTITY_FILE} kelto_identity)
string(JSON KELTO_HOST_NAME GET "${kelto_identity}" hostName)
string(JSON kelto_chromium_id GET "${kelto_identity}" chromiumExtensionId)
string(JSON KELTO_FIREFOX_ID GET "${kelto_identity}" firefoxAddonId)
set(KELTO_CHROMIUM_ORIGIN "chrome-extension://${kelto_chromium_id}/")
