# Warnings as errors on our own code; sanitizers when asked for.
function(pim_target target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  if(PIM_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(PIM_TSAN)
    # The instrumentation defeats GCC's flow analysis: false "maybe uninitialized" on std::optional.
    target_compile_options(${target} PRIVATE -fsanitize=thread -Wno-maybe-uninitialized)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
endfunction()

# A GoogleTest program made of every .cpp in the calling folder.
function(pim_test_suite name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  add_executable(${name} ${sources})
  pim_target(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "QLT_TRACE_MASK=0;LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp"
                       TIMEOUT 900)
endfunction()

# Under ThreadSanitizer (PIM_TSAN) the suite is labelled `threads`: `make tsan` builds and runs those.
function(pim_tsan_suite name)
  if(PIM_TSAN)
    set_property(TEST ${name} APPEND PROPERTY LABELS threads)
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1 second_deadlock_stack=1 suppressions=${PROJECT_SOURCE_DIR}/tests/tsan.supp")
  endif()
endfunction()
