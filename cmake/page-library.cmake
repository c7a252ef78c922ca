# The page library as an npm package, <build>/npm/keltodatasigned-<version>.tgz
# (target page_library_package, part of every Linux build): `npm pack` of
# browser/lib, whose package.json says what goes in. Publishing it to a
# registry is a release step, not the build's.
find_program(KELTO_NPM npm)
if(NOT KELTO_NPM)
  message(FATAL_ERROR "The page library is packed with npm (scripts/bootstrap.sh installs it)")
endif()
set(KELTO_PAGE_LIBRARY ${CMAKE_BINARY_DIR}/npm/keltodatasigned-${PROJECT_VERSION}.tgz)
file(GLOB kelto_page_library_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/browser/lib/*)
add_custom_command(
  OUTPUT ${KELTO_PAGE_LIBRARY}
  COMMAND ${KELTO_NODE} ${CMAKE_SOURCE_DIR}/browser/build.mjs --pack-library ${CMAKE_BINARY_DIR}/npm
  DEPENDS ${kelto_page_library_sources} ${CMAKE_SOURCE_DIR}/browser/build.mjs
  COMMENT "Packing the page library into ${KELTO_PAGE_LIBRARY}"
  VERBATIM)
add_custom_target(page_library_package ALL DEPENDS ${KELTO_PAGE_LIBRARY})
