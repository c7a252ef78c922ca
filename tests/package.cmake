# The Windows package's install and uninstall scripts, run by Wine's cmd in the
# private prefix (their registry keys land in that prefix only).
add_test(NAME e2e_package_wine
         COMMAND ${Python3_EXECUTABLE} ${E2E_DIR}/run.py test_package
         WORKING_DIRECTORY ${E2E_DIR})
set_tests_properties(e2e_package_wine PROPERTIES
  FIXTURES_REQUIRED wine
  SKIP_RETURN_CODE 77
  ENVIRONMENT "${WINE_ENV};KELTO_WINE=1;KELTO_PACKAGE=${KELTO_PACKAGE_ZIP}")
