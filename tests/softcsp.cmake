# softcsp and kelto-keytool tests (included from tests/CMakeLists.txt).
add_executable(softcsp_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/providers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/certificates_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/signing_test.cpp
)
target_link_libraries(softcsp_unit_tests PRIVATE softcsp ${KELTO_GTEST})
target_compile_options(softcsp_unit_tests PRIVATE ${KELTO_WARNINGS})
add_test(NAME softcsp_unit_tests COMMAND softcsp_unit_tests)
