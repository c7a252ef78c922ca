# softcsp and kelto-keytool tests (included from tests/CMakeLists.txt).
add_executable(softcsp_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/providers_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/certificates_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/damaged_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/messages_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/softcsp/requests_test.cpp
)
# The requests suite drives the host's provider service over softcsp.
target_link_libraries(softcsp_unit_tests PRIVATE softcsp kelto_host ${KELTO_GTEST})
target_compile_options(softcsp_unit_tests PRIVATE ${KELTO_WARNINGS})
add_test(NAME softcsp_unit_tests COMMAND softcsp_unit_tests)

find_package(Python3 REQUIRED COMPONENTS Interpreter)
foreach(suite test_softcsp_gost test_softcsp_pinentry test_keytool test_hostile_store)
  add_test(NAME softcsp_e2e_${suite}
           COMMAND ${Python3_EXECUTABLE} -m unittest -v ${suite}
           WORKING_DIRECTORY ${CMAKE_CURRENT_LIST_DIR}/e2e)
  set_tests_properties(softcsp_e2e_${suite} PROPERTIES
    ENVIRONMENT "KELTO_KEYTOOL=$<TARGET_FILE:kelto-keytool>;KELTO_HOST=$<TARGET_FILE:keltoDataSigned>;KELTO_HOST_DEBUG=$<TARGET_FILE:keltoDataSigned_debug>"
    SKIP_RETURN_CODE 77)
endforeach()
