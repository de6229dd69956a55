# Shared build helpers.

# Our own code builds with every warning. In the build types of our presets and
# CI a warning is an error; a build type of the user's own choosing (Release at
# -O3, say) shows a compiler's false positive without failing on it.
function(kvr_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<CONFIG:RelWithDebInfo,Debug>:-Werror>)
endfunction()

# Adds every directory below DIR that holds a CMakeLists.txt, in sorted order.
# Those CMakeLists never call add_subdirectory themselves, so a new module or
# test directory is picked up without editing any other file.
function(kvr_add_subdirs dir)
  file(GLOB_RECURSE lists RELATIVE ${dir} CONFIGURE_DEPENDS ${dir}/*/CMakeLists.txt)
  list(SORT lists)
  foreach(l IN LISTS lists)
    get_filename_component(sub ${l} DIRECTORY)
    add_subdirectory(${dir}/${sub})
  endforeach()
endfunction()

# kvr_gtest(NAME n SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT s] [LONG])
# One GoogleTest program; its tests are listed to ctest when ctest runs.
# LONG: some of its tests take many seconds, mostly waiting (for ticks, time
# limits, other processes); ctest starts them first, so that they run beside
# the rest instead of alone at the end.
function(kvr_gtest)
  cmake_parse_arguments(T "LONG" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(cost)
  if(T_LONG)
    set(cost COST 60)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  kvr_strict(${T_NAME})
  target_compile_definitions(${T_NAME} PRIVATE
    KVR_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KVR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}" ${cost})
endfunction()

# kvr_benchmark(NAME n SOURCES ... [LIBS ...]): built with everything, never run by ctest.
function(kvr_benchmark)
  cmake_parse_arguments(B "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${B_NAME} ${B_SOURCES})
  set_target_properties(${B_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${B_NAME} PRIVATE ${B_LIBS} benchmark::benchmark benchmark::benchmark_main)
  kvr_strict(${B_NAME})
endfunction()
