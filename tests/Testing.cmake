# orvane_add_test(NAME src... LIBS lib... [NETNS]): one GoogleTest executable, its cases
# registered with CTest. NETNS runs discovery and every case inside a private network
# namespace (tests/netns-run), which every test that opens sockets must use.
function(orvane_add_test name)
  cmake_parse_arguments(T "NETNS" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE test_support GTest::gtest_main ${T_LIBS})
  if(T_NETNS)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
      "${CMAKE_SOURCE_DIR}/tests/netns-run")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ORVANE_BIN_DIR=${CMAKE_BINARY_DIR}/bin;ORVANE_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
