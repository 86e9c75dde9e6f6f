# Common settings for every target of the project: C++20 and a strict set of warnings.
function(pendrel_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  set_target_properties(${target} PROPERTIES CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion)
  # The hardening Debian expects of packaged programs: checked string and memory calls (which
  # need the optimiser), and a symbol table that is read-only once the program runs.
  target_compile_definitions(${target} PRIVATE
                             $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:_FORTIFY_SOURCE=2>)
  target_link_options(${target} PRIVATE LINKER:-z,relro LINKER:-z,now)
endfunction()

# One GoogleTest executable per folder, registered with ctest.
function(pendrel_test target)
  add_executable(${target} ${ARGN})
  pendrel_defaults(${target})
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gtest_main GTest::gmock)
  gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60)
endfunction()

include(GoogleTest)
