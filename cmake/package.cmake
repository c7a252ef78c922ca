# The Windows zip: keltoDataSigned-<version>-win64.zip in the build directory,
# made on every default build so that what ships is what was tested. It holds
# one folder with the .exe, the manifest template and the scripts that
# register the host for the current user, for people who cannot run an
# installer (cmake/msi.cmake makes the installer).
include(${CMAKE_CURRENT_LIST_DIR}/identity.cmake)

set(KELTO_PACKAGE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
set(KELTO_PACKAGE_ZIP ${CMAKE_BINARY_DIR}/${KELTO_PACKAGE_NAME}.zip)
set(KELTO_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/${KELTO_PACKAGE_NAME})

# The scripts' defaults, and those the README states, are the project's host
# name and extension ids. CR LF: Windows' cmd can miss labels in a script with
# bare line feeds. The installer ships the same README.
set(KELTO_WINDOWS_README ${CMAKE_BINARY_DIR}/packaging/README.md)
set(KELTO_PACKAGE_FILES ${CMAKE_SOURCE_DIR}/packaging/host-manifest.json.in)
foreach(file install.cmd uninstall.cmd README.md)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/${file}.in
                 ${CMAKE_BINARY_DIR}/packaging/${file} @ONLY NEWLINE_STYLE CRLF)
  list(APPEND KELTO_PACKAGE_FILES ${CMAKE_BINARY_DIR}/packaging/${file})
endforeach()
# The licence, as Windows editors show it.
set(KELTO_WINDOWS_LICENSE ${CMAKE_BINARY_DIR}/packaging/LICENSE.txt)
configure_file(${CMAKE_SOURCE_DIR}/LICENSE ${KELTO_WINDOWS_LICENSE} @ONLY NEWLINE_STYLE CRLF)
list(APPEND KELTO_PACKAGE_FILES ${KELTO_WINDOWS_LICENSE})

# The stage is made afresh so that a file dropped from the list leaves the zip.
add_custom_command(
  OUTPUT ${KELTO_PACKAGE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${KELTO_PACKAGE_STAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${KELTO_PACKAGE_STAGE}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:keltoDataSigned> ${KELTO_PACKAGE_FILES}
          ${KELTO_PACKAGE_STAGE}/
  COMMAND ${CMAKE_COMMAND} -E rm -f ${KELTO_PACKAGE_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${KELTO_PACKAGE_ZIP} --format=zip ${KELTO_PACKAGE_NAME}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS keltoDataSigned $<TARGET_FILE:keltoDataSigned> ${KELTO_PACKAGE_FILES}
  COMMENT "Packaging ${KELTO_PACKAGE_NAME}.zip"
  VERBATIM)
add_custom_target(package_zip ALL DEPENDS ${KELTO_PACKAGE_ZIP})
