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

# The target's include folder: a link to the current source folder, at its path from the project
# root, and nothing else.
function(pendrel_own_headers target scope)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set(root ${PROJECT_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${folder} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${folder} SYMBOLIC)
  target_include_directories(${target} ${scope} ${root})
endfunction()

# One library per folder, and its tests:
#   pendrel_library(NAME target SOURCES file... [DEPS target...] [PRIVATE_DEPS target...]
#                   [TEST name] [TEST_SOURCES file...] [TEST_DEPS target...] [QT])
# Its headers are included by their path from the project root ("runtime/clock.h"), and only
# they: the library's include folder holds a link to its own folder and nothing else, so a
# folder includes only what it links. A library without QT must not link Qt, nor link a library
# that does; without Qt's include folders a Qt header does not build in it either.
function(pendrel_library)
  cmake_parse_arguments(PARSE_ARGV 0 arg "QT" "NAME;TEST"
                        "SOURCES;DEPS;PRIVATE_DEPS;TEST_SOURCES;TEST_DEPS")
  if(arg_SOURCES)
    add_library(${arg_NAME} STATIC ${arg_SOURCES})
    pendrel_defaults(${arg_NAME})
    set(scope PUBLIC)
  else()
    add_library(${arg_NAME} INTERFACE)
    set(scope INTERFACE)
  endif()
  pendrel_own_headers(${arg_NAME} ${scope})
  target_link_libraries(${arg_NAME} ${scope} ${arg_DEPS})
  if(arg_PRIVATE_DEPS)
    target_link_libraries(${arg_NAME} PRIVATE ${arg_PRIVATE_DEPS})
  endif()
  set_property(TARGET ${arg_NAME} PROPERTY PENDREL_QT ${arg_QT})
  if(NOT arg_QT)
    foreach(dep IN LISTS arg_DEPS arg_PRIVATE_DEPS)
      set(uses_qt FALSE)
      if(dep MATCHES "^Qt")
        set(uses_qt TRUE)
      elseif(TARGET ${dep})
        get_target_property(uses_qt ${dep} PENDREL_QT)
      endif()
      if(uses_qt)
        message(FATAL_ERROR "${arg_NAME} is plain C++ and may not link ${dep}, which uses Qt")
      endif()
    endforeach()
  endif()
  if(arg_TEST AND BUILD_TESTING)
    pendrel_test(${arg_TEST} ${arg_TEST_SOURCES})
    target_link_libraries(${arg_TEST} PRIVATE ${arg_NAME} ${arg_TEST_DEPS})
  endif()
endfunction()
