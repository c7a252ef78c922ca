# System-wide installation on Linux and the Debian package made from it by
# CPack: `cmake --build build --target package` writes
# keltodatasigned_<version>_<arch>.deb. The host and kelto-keytool install
# from their own directories; here are the browsers' manifests, the Debian
# documents and the package's metadata.
include(${CMAKE_CURRENT_LIST_DIR}/identity.cmake)
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(KELTO_DEB_NAME keltodatasigned)
set(KELTO_DEB_MAINTAINER "keltoDataSigned developers <datasigned@kelto.example>")
set(kelto_deb_dir ${CMAKE_SOURCE_DIR}/packaging/debian)
set(kelto_deb_out ${CMAKE_BINARY_DIR}/packaging/debian)

# Where each browser looks for system-wide native-messaging hosts.
set(kelto_chromium_manifest_dirs
  /etc/chromium/native-messaging-hosts        # Chromium (Debian)
  /etc/opt/chrome/native-messaging-hosts      # Google Chrome
  /etc/opt/edge/native-messaging-hosts)       # Microsoft Edge
set(kelto_firefox_manifest_dir /usr/lib/mozilla/native-messaging-hosts)
set(kelto_manifest_name ${KELTO_HOST_NAME}.json)

# --- the extension --------------------------------------------------------------
# Packed by every build (cmake/extension.cmake) and installed for Debian's
# Chromium (unpacked, loaded at every start), Google Chrome (the .crx, with
# the key) and administrators (policy examples); the install step may pack it
# again with another key, and the host manifests then name that key's id.
include(${CMAKE_CURRENT_LIST_DIR}/extension.cmake)
install(CODE "
  set(KELTO_PACKED_DIR [[${KELTO_PACKED_DIR}]])
  set(KELTO_NODE [[${KELTO_NODE}]])
  set(KELTO_PACK_SCRIPT [[${KELTO_PACK_SCRIPT}]])
  set(KELTO_PACK_ARGS [[${KELTO_PACK_ARGS}]])
  set(KELTO_PACK_VERSION [[${PROJECT_VERSION}]])
  set(KELTO_EXTENSION_KEY [[${KELTO_EXTENSION_KEY}]])
  set(KELTO_EXTENSION_INSTALL_DIR [[${KELTO_EXTENSION_INSTALL_DIR}]])
  set(KELTO_DOC_DIR [[${CMAKE_INSTALL_DATADIR}/doc/${KELTO_DEB_NAME}]])
  include([[${CMAKE_CURRENT_LIST_DIR}/extension-install.cmake]])")
install(FILES ${CMAKE_SOURCE_DIR}/packaging/policies/README
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${KELTO_DEB_NAME}/policies)
# --------------------------------------------------------------------------------

# The manifests name the host where this installation puts it, which only the
# install step knows (CPack installs with the prefix /usr), so they are
# written then, by the one manifest writer, and installed like any file.
install(CODE "
  foreach(browser chromium firefox)
    execute_process(
      COMMAND \"${Python3_EXECUTABLE}\" \"${CMAKE_SOURCE_DIR}/packaging/host-manifest.py\"
              --browser \${browser} --identity \"\${KELTO_INSTALL_IDENTITY}\"
              --path \"\${CMAKE_INSTALL_PREFIX}/${KELTO_HOST_INSTALL_DIR}/keltoDataSigned\"
              --out \"${kelto_deb_out}/\${browser}.json\"
      RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR \"host-manifest.py failed for \${browser}\")
    endif()
  endforeach()")
foreach(dir ${kelto_chromium_manifest_dirs})
  install(FILES ${kelto_deb_out}/chromium.json DESTINATION ${dir}
          RENAME ${kelto_manifest_name})
endforeach()
install(FILES ${kelto_deb_out}/firefox.json DESTINATION ${kelto_firefox_manifest_dir}
        RENAME ${kelto_manifest_name})

# Debian's documents: copyright, and a changelog entry for this version.
string(TIMESTAMP KELTO_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${kelto_deb_dir}/changelog.in ${kelto_deb_out}/changelog @ONLY)
add_custom_command(
  OUTPUT ${kelto_deb_out}/changelog.gz
  COMMAND gzip -9nc ${kelto_deb_out}/changelog > ${kelto_deb_out}/changelog.gz
  DEPENDS ${kelto_deb_out}/changelog
  VERBATIM)
add_custom_target(deb_changelog ALL DEPENDS ${kelto_deb_out}/changelog.gz)
set(kelto_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/${KELTO_DEB_NAME})
install(FILES ${kelto_deb_dir}/copyright ${kelto_deb_out}/changelog.gz
        DESTINATION ${kelto_doc_dir})
install(FILES ${kelto_deb_dir}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${KELTO_DEB_NAME})

# Files under /etc are the administrator's: dpkg keeps changes to them and
# removes them on purge only.
set(kelto_conffiles "")
foreach(dir ${kelto_chromium_manifest_dirs})
  string(APPEND kelto_conffiles "${dir}/${kelto_manifest_name}\n")
endforeach()
file(GENERATE OUTPUT ${kelto_deb_out}/conffiles CONTENT "${kelto_conffiles}")

find_program(KELTO_DPKG dpkg)
if(NOT KELTO_DPKG)
  message(STATUS "No dpkg: the Debian package cannot be made here")
  return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KELTO_DEB_NAME})
set(CPACK_PACKAGE_VENDOR Kelto)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "signs documents in web pages with the user's keys")
set(CPACK_PACKAGE_DESCRIPTION "\
keltoDataSigned is the native-messaging host of a browser extension that lets
a web page list the user's key containers, read their certificates and sign
files, raw or as detached PKCS#7 messages. It is registered for Chromium,
Google Chrome, Microsoft Edge and Firefox.
.
Keys live in software containers managed by kelto-keytool; GOST keys need the
OpenSSL gost engine.")
# The extension comes with the package.
string(APPEND CPACK_PACKAGE_DESCRIPTION "
.
The browser extension is installed for Chromium, loaded at its next start;
policy examples for Chromium, Google Chrome, Microsoft Edge and Firefox are
in /usr/share/doc/${KELTO_DEB_NAME}/policies.")
# The manifests' directories are absolute: the package is staged under
# DESTDIR, with the prefix it installs to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
execute_process(COMMAND ${KELTO_DPKG} --print-architecture OUTPUT_VARIABLE kelto_deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${kelto_deb_arch})
set(CPACK_DEBIAN_FILE_NAME ${KELTO_DEB_NAME}_${PROJECT_VERSION}_${kelto_deb_arch}.deb)
set(KELTO_DEB_FILE ${CMAKE_BINARY_DIR}/${CPACK_DEBIAN_FILE_NAME})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${KELTO_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# GOST keys need the engine; the PIN dialogue needs a graphical pinentry.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libengine-gost-openssl, pinentry-gnome3 | pinentry-x11")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${kelto_deb_out}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
