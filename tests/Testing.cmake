# orvane_add_test(NAME src... LIBS lib... [NETNS] [ONE_PROCESS] [TIMEOUT s] [COST n]): one
# GoogleTest executable, its cases registered with CTest. NETNS runs discovery and every case
# inside a private network namespace (tests/netns-run), which every test that opens sockets
# must use. ONE_PROCESS registers the executable as a single CTest test, so that its cases
# share what the suite sets up once (a desktop session) instead of each starting its own.
# COST makes ctest start long cases first, so that they overlap the short ones instead of
# running alone at the end (a clean build has no timings of earlier runs to go by).
function(orvane_add_test name)
  cmake_parse_arguments(T "NETNS;ONE_PROCESS" "TIMEOUT;COST" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE test_support GTest::gtest_main ${T_LIBS})
  if(T_NETNS)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
      "${CMAKE_SOURCE_DIR}/tests/netns-run")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  if(NOT T_COST)
    set(T_COST 0)
  endif()
  set(env "ORVANE_BIN_DIR=${CMAKE_BINARY_DIR}/bin;ORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  if(T_ONE_PROCESS)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} COST ${T_COST}
      ENVIRONMENT "${env}")
    return()
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT} COST ${T_COST} ENVIRONMENT "${env}")
endfunction()
