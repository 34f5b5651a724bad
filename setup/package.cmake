# package: lays out the folder a user is handed, <build>/package/, with Setup and the files it
# installs, and an archive of it, orvane-varno-<version>.tar.gz, beside it. Programs that are
# not part of this build are left out (Setup then stops at its size pass, naming the file).
set(ORVANE_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set(ORVANE_PACKAGE_NAME orvane-varno-${PROJECT_VERSION})
set(_package_depends Setup)
set(_package_copies
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Setup> ${ORVANE_PACKAGE_DIR}/Setup)
foreach(program varno glimt)
  if(TARGET ${program})
    list(APPEND _package_depends ${program})
    list(APPEND _package_copies
      COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${program}> ${ORVANE_PACKAGE_DIR}/${program})
  endif()
endforeach()
if(TARGET hooks)
  list(APPEND _package_depends hooks)
  list(APPEND _package_copies
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:hooks> ${ORVANE_PACKAGE_DIR}/libhooks.so)
endif()

add_custom_target(package
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${ORVANE_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${ORVANE_PACKAGE_DIR}
  ${_package_copies}
  COMMAND ${CMAKE_COMMAND} -E copy
    ${CMAKE_CURRENT_SOURCE_DIR}/package/License.txt ${CMAKE_CURRENT_SOURCE_DIR}/package/Readme.txt
    ${ORVANE_PACKAGE_DIR}
  # The archive unpacks into a folder named after the release, not "package".
  COMMAND tar -czf ${CMAKE_BINARY_DIR}/${ORVANE_PACKAGE_NAME}.tar.gz
    -C ${CMAKE_BINARY_DIR} --transform "s,^package,${ORVANE_PACKAGE_NAME}," package
  DEPENDS ${_package_depends}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  COMMENT "Laying out ${ORVANE_PACKAGE_DIR} and ${ORVANE_PACKAGE_NAME}.tar.gz"
  VERBATIM)
