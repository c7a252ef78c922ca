# The extension packed for installers, stores and administrators, by
# browser/pack.mjs into <build>/extension (target extension_packages, part of
# every build and so of `package`):
#   chromium/, firefox/                     unpacked, with this build's ids
#   keltoDataSigned-<version>-chromium.zip  Chrome Web Store, Edge Add-ons
#   keltoDataSigned-<version>-firefox.xpi   unsigned, or KELTO_FIREFOX_XPI
#   keltoDataSigned-<version>.crx, updates.xml, <id>.json   with KELTO_EXTENSION_KEY
#   policies/                               examples for administrators
include(${CMAKE_CURRENT_LIST_DIR}/identity.cmake)
set(KELTO_FIREFOX_XPI "$ENV{KELTO_FIREFOX_XPI}" CACHE FILEPATH
    "Firefox add-on signed by Mozilla, shipped instead of the unsigned one")
# Where the Debian package puts what the update manifest and policies name.
set(KELTO_EXTENSION_INSTALL_DIR /usr/share/keltodatasigned)
set(KELTO_PACKED_DIR ${CMAKE_BINARY_DIR}/extension)
set(KELTO_PACKED_BASE ${KELTO_PACKED_DIR}/${PROJECT_NAME}-${PROJECT_VERSION})

find_program(KELTO_NODE node)
if(NOT KELTO_NODE)
  message(FATAL_ERROR "The extension is built with Node.js (scripts/bootstrap.sh installs it)")
endif()
# Chromium's own packer, started without Debian's launcher, which would load
# the extensions installed on this machine.
find_program(KELTO_CHROMIUM chromium PATHS /usr/lib/chromium NO_DEFAULT_PATH)
find_program(KELTO_CHROMIUM NAMES chromium chromium-browser google-chrome)
if(KELTO_EXTENSION_KEY AND NOT KELTO_CHROMIUM)
  message(FATAL_ERROR "KELTO_EXTENSION_KEY: packing the .crx needs Chromium (scripts/bootstrap.sh installs it)")
endif()

# The arguments that make a pack of this build, also used by the install step.
set(KELTO_PACK_ARGS --version ${PROJECT_VERSION} --install-dir ${KELTO_EXTENSION_INSTALL_DIR}
    --chromium ${KELTO_CHROMIUM})
if(KELTO_FIREFOX_XPI)
  get_filename_component(KELTO_FIREFOX_XPI ${KELTO_FIREFOX_XPI} ABSOLUTE)
  list(APPEND KELTO_PACK_ARGS --signed-xpi ${KELTO_FIREFOX_XPI})
endif()

set(kelto_packed ${KELTO_PACKED_DIR}/identity.json ${KELTO_PACKED_BASE}-chromium.zip
    ${KELTO_PACKED_BASE}-firefox.xpi)
set(kelto_key_args)
if(KELTO_EXTENSION_KEY)
  list(APPEND kelto_packed ${KELTO_PACKED_BASE}.crx ${KELTO_PACKED_DIR}/updates.xml)
  set(kelto_key_args --key ${KELTO_EXTENSION_KEY})
endif()
file(GLOB_RECURSE kelto_extension_sources CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/browser/extension/*)
add_custom_command(
  OUTPUT ${kelto_packed}
  COMMAND ${KELTO_NODE} ${KELTO_PACK_SCRIPT} --out ${KELTO_PACKED_DIR} ${KELTO_PACK_ARGS}
          ${kelto_key_args} --quiet
  DEPENDS ${kelto_extension_sources} ${CMAKE_SOURCE_DIR}/browser/lib/keltoDataSigned.js
          ${KELTO_PACK_SCRIPT} ${CMAKE_SOURCE_DIR}/browser/build.mjs
          ${CMAKE_SOURCE_DIR}/browser/package.json ${KELTO_IDENTITY_FILE}
          ${CMAKE_SOURCE_DIR}/LICENSE ${KELTO_EXTENSION_KEY} ${KELTO_FIREFOX_XPI}
  COMMENT "Packing the extension into ${KELTO_PACKED_DIR}"
  VERBATIM)
add_custom_target(extension_packages ALL DEPENDS ${kelto_packed})
