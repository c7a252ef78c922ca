# The browser side (included from tests/CMakeLists.txt, Linux only): the page
# library, extension build and registration without a browser, then the
# extension, library and host end to end in headless Chromium and Firefox ESR.
find_program(NODE_EXECUTABLE node REQUIRED)
find_program(NPM_EXECUTABLE npm REQUIRED)
set(BROWSER_TEST_DIR ${CMAKE_CURRENT_LIST_DIR}/browser)
set(BROWSER_TEST_ENV
    "KELTO_HOST=$<TARGET_FILE:keltoDataSigned>"
    "KELTO_KEYTOOL=$<TARGET_FILE:kelto-keytool>"
    "KELTO_ARTIFACTS=${CMAKE_CURRENT_BINARY_DIR}")

# The suites' Node modules (puppeteer-core, TypeScript), exactly as the lock
# file pins them; nothing else is downloaded, no browser among them. Every
# suite that needs them (the package suite too) requires this fixture.
add_test(NAME browser_modules
         COMMAND ${NPM_EXECUTABLE} ci --no-audit --no-fund --loglevel=error
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}/browser)
set_tests_properties(browser_modules PROPERTIES FIXTURES_SETUP browser_modules TIMEOUT 600)

add_test(NAME browser_units
         COMMAND ${NODE_EXECUTABLE} --test --test-reporter=spec
                 library.test.mjs extension.test.mjs
         WORKING_DIRECTORY ${BROWSER_TEST_DIR})
# Both browsers' suites start browsers through Debian's launchers, which read
# what an installed package and system policies put under /etc and /usr. They
# run as plain scripts, not under `node --test`, so that one that cannot run
# here (no browser; Chromium's policy needs root) exits 77 before any test.
foreach(browser chromium firefox)
  add_test(NAME browser_${browser}
           COMMAND ${KELTO_MACHINE_LOCK} ${NODE_EXECUTABLE} --test-reporter=spec ${browser}.test.mjs
           WORKING_DIRECTORY ${BROWSER_TEST_DIR})
endforeach()
set_tests_properties(browser_units browser_chromium browser_firefox PROPERTIES
  ENVIRONMENT "${BROWSER_TEST_ENV}" TIMEOUT 900 FIXTURES_REQUIRED browser_modules)
set_tests_properties(browser_chromium browser_firefox PROPERTIES SKIP_RETURN_CODE 77)
# Writes a Chromium policy under /etc and needs no system-wide host manifest
# to be there for its HostMissing case.
set_tests_properties(browser_chromium PROPERTIES RESOURCE_LOCK system_browser_config)
