# libFuzzer targets (clang, with KELTO_FUZZ=ON and KELTO_SANITIZE=ON). Each
# runs for a short bounded time on its committed seed corpus under CTest; new
# inputs it finds go to the build tree, never into the sources.
# scripts/fuzz.sh runs them for a long time.
set(KELTO_FUZZ_SECONDS 30 CACHE STRING "Seconds each fuzz target runs under CTest")
foreach(target request json base64 keystore)
  add_executable(fuzz_${target} ${CMAKE_CURRENT_LIST_DIR}/${target}_fuzz.cpp)
  target_link_libraries(fuzz_${target} PRIVATE kelto_host)
  target_include_directories(fuzz_${target} SYSTEM PRIVATE ${UTFCPP_INCLUDE_DIR})
  target_compile_options(fuzz_${target} PRIVATE ${KELTO_WARNINGS})
  target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer)
  set(found ${CMAKE_BINARY_DIR}/fuzz-found/${target})
  file(MAKE_DIRECTORY ${found})
  add_test(NAME fuzz_${target}
           COMMAND $<TARGET_FILE:fuzz_${target}> -max_total_time=${KELTO_FUZZ_SECONDS}
                   -timeout=20 -print_final_stats=1
                   ${found} ${CMAKE_CURRENT_LIST_DIR}/corpus/${target})
endforeach()
# Store files are planted under the name softcsp itself gives them.
target_include_directories(fuzz_keystore PRIVATE ${CMAKE_SOURCE_DIR}/softcsp/src)
