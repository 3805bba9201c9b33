# traxd_library(<name> <folder>... [DEPENDS <libs>...])
# One static library per layer, made of every .cpp directly in its folders
# (main.cpp excepted: it makes the executable). A library links only the
# layers below it, so the arrows between libraries never form a cycle.
# Without sources yet it is an interface library, so that the layers above
# can already name it.
function(traxd_library name)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  set(sources)
  foreach(folder ${ARG_UNPARSED_ARGUMENTS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPENDS})
  endif()
endfunction()

# traxd_tests(<folder> <libs>...)
# The tests/<folder>/test_*.cpp files of one subsystem make one GoogleTest
# executable, <folder>_tests, so that a subsystem costs one link. Each file
# is still its own CTest test, named <folder>_<file>, which runs only that
# file's suites (read from its TEST, TEST_F and TEST_P lines) in a process
# of its own. A suite name may therefore appear in one file only.
function(traxd_tests folder)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  if(NOT tests)
    return()
  endif()
  set(target ${folder}_tests)
  add_executable(${target} ${tests})
  target_link_libraries(${target} PRIVATE ${ARGN} GTest::gmock GTest::gtest_main)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
  set(seen_suites)
  foreach(source ${tests})
    get_filename_component(stem ${source} NAME_WE)
    string(REGEX REPLACE "^test_" "" stem ${stem})
    file(STRINGS ${source} lines REGEX "^(TEST|TEST_F|TEST_P)\\( *[A-Za-z0-9_]+ *,")
    set(suites)
    foreach(line ${lines})
      string(REGEX REPLACE "^[A-Z_]+\\( *([A-Za-z0-9_]+).*" "\\1" suite "${line}")
      list(APPEND suites ${suite})
    endforeach()
    list(REMOVE_DUPLICATES suites)
    if(NOT suites)
      message(FATAL_ERROR "${source}: no TEST, TEST_F or TEST_P line found")
    endif()
    set(filter)
    foreach(suite ${suites})
      if(suite IN_LIST seen_suites)
        message(FATAL_ERROR "${source}: suite ${suite} is also used by another file of tests/${folder}")
      endif()
      list(APPEND seen_suites ${suite})
      # Plain and fixture tests are <suite>.<name>; parameterised ones are
      # <instantiation>/<suite>.<name>/<parameter>.
      list(APPEND filter "${suite}.*" "*/${suite}.*")
    endforeach()
    list(JOIN filter ":" filter)
    set(name ${folder}_${stem})
    add_test(NAME ${name} COMMAND ${target} --gtest_filter=${filter})
    set_tests_properties(${name} PROPERTIES
      TIMEOUT 300
      ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  endforeach()
endfunction()
