# traxd_library(<name> <folder> [DEPENDS <libs>...])
# One static library per subsystem, made of every .cpp under its folder.
# A folder without sources yet gives an interface library, so that the
# layers above can already name it.
function(traxd_library name folder)
  cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${folder}/*.cpp)
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
# Every tests/<folder>/test_*.cpp becomes its own GoogleTest executable and
# CTest test, named <folder>_<file>, so that one suite failing to build or
# crashing does not hide the others.
function(traxd_tests folder)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  foreach(source ${tests})
    get_filename_component(stem ${source} NAME_WE)
    string(REGEX REPLACE "^test_" "" stem ${stem})
    set(target ${folder}_${stem})
    add_executable(${target} ${source})
    target_link_libraries(${target} PRIVATE ${ARGN} GTest::gmock GTest::gtest_main)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES
      TIMEOUT 300
      ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  endforeach()
endfunction()
