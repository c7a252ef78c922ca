# The packages' suites (included by tests/CMakeLists.txt for both targets).
if(CMAKE_CROSSCOMPILING)
  # The zip's scripts and the installer, run by Wine in the private prefix
  # (their registry keys land in that prefix only). Both register the same
  # host name there.
  add_test(NAME e2e_package_wine
           COMMAND ${Python3_EXECUTABLE} ${E2E_DIR}/run.py test_package
           WORKING_DIRECTORY ${E2E_DIR})
  set_tests_properties(e2e_package_wine PROPERTIES
    ENVIRONMENT "${WINE_ENV};KELTO_WINE=1;KELTO_PACKAGE=${KELTO_PACKAGE_ZIP}")
  add_test(NAME e2e_package_msi_wine
           COMMAND ${Python3_EXECUTABLE} ${E2E_DIR}/run.py test_package_msi
           WORKING_DIRECTORY ${E2E_DIR})
  set_tests_properties(e2e_package_msi_wine PROPERTIES
    ENVIRONMENT "${WINE_ENV};KELTO_WINE=1;KELTO_MSI=${KELTO_MSI_FILE};KELTO_CMAKE=${CMAKE_COMMAND};KELTO_MSI_SCRIPT=${KELTO_MSI_SCRIPT};KELTO_MSI_SETTINGS=${KELTO_MSI_SETTINGS}")
  set_tests_properties(e2e_package_wine e2e_package_msi_wine PROPERTIES
    FIXTURES_REQUIRED wine
    SKIP_RETURN_CODE 77
    RESOURCE_LOCK wine_browser_registration)
elseif(DEFINED KELTO_DEB_FILE)
  find_program(NODE_EXECUTABLE node REQUIRED)
  # The extension's packs: the build's, and the packer's with a throwaway key.
  add_test(NAME e2e_extension_pack
           COMMAND ${Python3_EXECUTABLE} ${E2E_DIR}/run.py test_extension_pack
           WORKING_DIRECTORY ${E2E_DIR})
  set_tests_properties(e2e_extension_pack PROPERTIES
    ENVIRONMENT "KELTO_PACKED_DIR=${KELTO_PACKED_DIR};KELTO_NODE=${NODE_EXECUTABLE}")
  # The Debian package, made afresh from this build and again by CPack with a
  # throwaway key, then installed on this machine for real (the suite skips
  # unless it runs as root) and met by headless Chromium and Firefox ESR; its
  # Node modules come from the browser suites' fixture (tests/browser.cmake).
  add_test(NAME package_deb_build
           COMMAND ${CMAKE_COMMAND} --build ${CMAKE_BINARY_DIR} --target package)
  set_tests_properties(package_deb_build PROPERTIES FIXTURES_SETUP deb)
  add_test(NAME e2e_package_deb
           COMMAND ${KELTO_MACHINE_LOCK} ${Python3_EXECUTABLE} ${E2E_DIR}/test_package_deb.py
           WORKING_DIRECTORY ${E2E_DIR})
  set_tests_properties(e2e_package_deb PROPERTIES
    FIXTURES_REQUIRED "deb;browser_modules"
    SKIP_RETURN_CODE 77
    RESOURCE_LOCK system_browser_config
    ENVIRONMENT "KELTO_DEB=${KELTO_DEB_FILE};KELTO_NODE=${NODE_EXECUTABLE};KELTO_CPACK=${CMAKE_CPACK_COMMAND};KELTO_CPACK_CONFIG=${CMAKE_BINARY_DIR}/CPackConfig.cmake")
endif()
