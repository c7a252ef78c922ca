# The Windows installer: keltoDataSigned-<version>-win64.msi in the build
# directory, next to the zip, made on every default build by wixl from
# packaging/windows/keltoDataSigned.wxs (see cmake/msi-build.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/identity.cmake)
find_program(KELTO_WIXL wixl)
find_program(KELTO_MSIBUILD msibuild)
find_program(KELTO_NODE node)  # the id of another key for one installer (msi-build.cmake)
if(NOT KELTO_WIXL OR NOT KELTO_MSIBUILD)
  message(FATAL_ERROR "The Windows installer needs wixl and msibuild (Debian packages wixl "
                      "and msitools; scripts/bootstrap.sh installs them)")
endif()

# The custom actions that write the manifests carry the one manifest template.
file(READ ${CMAKE_SOURCE_DIR}/packaging/host-manifest.json.in kelto_manifest_template)
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/packaging/host-manifest.json.in)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/packaging/manifest_template.h CONTENT
  "// Generated from packaging/host-manifest.json.in by cmake/msi.cmake.\n\
static const char kManifestTemplate[] = R\"kelto_template(${kelto_manifest_template})kelto_template\";\n")
add_library(kelto_msi_actions SHARED ${CMAKE_SOURCE_DIR}/packaging/windows/msi_actions.cpp)
target_include_directories(kelto_msi_actions PRIVATE ${CMAKE_BINARY_DIR}/packaging)
target_link_libraries(kelto_msi_actions PRIVATE msi)
target_compile_options(kelto_msi_actions PRIVATE ${KELTO_WARNINGS})
set_target_properties(kelto_msi_actions PROPERTIES PREFIX "")

set(KELTO_MSI_FILE ${CMAKE_BINARY_DIR}/${PROJECT_NAME}-${PROJECT_VERSION}-win64.msi)
set(KELTO_MSI_SETTINGS ${CMAKE_BINARY_DIR}/packaging/msi-settings.cmake)
set(KELTO_MSI_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/msi-build.cmake)
set(kelto_msi_wxs ${CMAKE_SOURCE_DIR}/packaging/windows/keltoDataSigned.wxs)
set(kelto_msi_readme ${KELTO_WINDOWS_README})  # from cmake/package.cmake
file(GENERATE OUTPUT ${KELTO_MSI_SETTINGS} CONTENT "\
set(KELTO_MSI_WXS [[${kelto_msi_wxs}]])
set(KELTO_MSI_EXE [[$<TARGET_FILE:keltoDataSigned>]])
set(KELTO_MSI_ACTIONS [[$<TARGET_FILE:kelto_msi_actions>]])
set(KELTO_MSI_README [[${kelto_msi_readme}]])
set(KELTO_MSI_LICENSE [[${KELTO_WINDOWS_LICENSE}]])
set(KELTO_HOST_NAME [[${KELTO_HOST_NAME}]])
set(KELTO_CHROMIUM_ORIGIN [[${KELTO_CHROMIUM_ORIGIN}]])
set(KELTO_FIREFOX_ID [[${KELTO_FIREFOX_ID}]])
set(KELTO_NODE [[${KELTO_NODE}]])
set(KELTO_PACK_SCRIPT [[${KELTO_PACK_SCRIPT}]])
")

add_custom_command(
  OUTPUT ${KELTO_MSI_FILE}
  COMMAND ${CMAKE_COMMAND} -DKELTO_MSI_SETTINGS=${KELTO_MSI_SETTINGS}
          -DKELTO_MSI_VERSION=${PROJECT_VERSION} -DKELTO_MSI_OUTPUT=${KELTO_MSI_FILE}
          -P ${KELTO_MSI_SCRIPT}
  DEPENDS keltoDataSigned kelto_msi_actions $<TARGET_FILE:keltoDataSigned>
          $<TARGET_FILE:kelto_msi_actions> ${kelto_msi_wxs} ${kelto_msi_readme}
          ${KELTO_WINDOWS_LICENSE}
          ${KELTO_MSI_SCRIPT} ${KELTO_MSI_SETTINGS}
  COMMENT "Packaging ${PROJECT_NAME}-${PROJECT_VERSION}-win64.msi"
  VERBATIM)
add_custom_target(package_msi ALL DEPENDS ${KELTO_MSI_FILE})
