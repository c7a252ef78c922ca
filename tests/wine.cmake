# The Windows .exe against Wine's own CryptoAPI (advapi32, crypt32, rsaenh).
# Included by tests/CMakeLists.txt in the cross build only, after the "wine"
# fixture (one private prefix per test run) and WINE_ENV are defined.

# Containers, certificates and the "MY" store of the prefix, made with the
# real CryptoAPI by a process of its own; also tells the suites the system's
# message text for an error code.
add_executable(kelto_wine_fixture ${CMAKE_CURRENT_SOURCE_DIR}/wine/fixture.cpp)
target_compile_options(kelto_wine_fixture PRIVATE ${KELTO_STRICT_WARNINGS})
target_link_options(kelto_wine_fixture PRIVATE -municode)
target_link_libraries(kelto_wine_fixture PRIVATE crypt32 advapi32)

set(WINE_KEYS_DIR ${CMAKE_BINARY_DIR}/wine_keys)
file(MAKE_DIRECTORY ${WINE_KEYS_DIR})
add_test(NAME wine_fixture
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/run-in-wine.sh
                 $<TARGET_FILE:kelto_wine_fixture> keys
                 ${WINE_KEYS_DIR}/signature.der ${WINE_KEYS_DIR}/exchange.der)
set_tests_properties(wine_fixture PROPERTIES
  FIXTURES_SETUP wine_keys
  FIXTURES_REQUIRED wine
  SKIP_RETURN_CODE 77
  ENVIRONMENT "${WINE_ENV}")

# The suite both runners share, and what only Wine shows.
add_test(NAME e2e_actions_wine COMMAND ${Python3_EXECUTABLE} ${E2E_DIR}/run.py test_actions
         WORKING_DIRECTORY ${E2E_DIR})
add_test(NAME e2e_wine COMMAND ${Python3_EXECUTABLE} ${E2E_DIR}/run.py test_wine
         WORKING_DIRECTORY ${E2E_DIR})
set_tests_properties(e2e_actions_wine e2e_wine PROPERTIES
  FIXTURES_REQUIRED "wine;wine_keys"
  SKIP_RETURN_CODE 77
  # Both look at the prefix's temporary folder.
  RESOURCE_LOCK wine_temp
  ENVIRONMENT "${WINE_ENV};KELTO_HOST=$<TARGET_FILE:keltoDataSigned>;KELTO_WINE=1;KELTO_WINE_KEYS=${WINE_KEYS_DIR};KELTO_WINE_FIXTURE=$<TARGET_FILE:kelto_wine_fixture>;KELTO_HOST_DEBUG=$<TARGET_FILE:keltoDataSigned_debug>")
