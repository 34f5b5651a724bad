# varno: application object, tray monitor and settings dialog. The application code is an
# object library so that the tests link exactly what the program runs (resources included).
add_library(varno_app OBJECT
  varno.cpp Monitor.cpp ServerDialog.cpp ServerDialog.ui varno.qrc)
set_target_properties(varno_app PROPERTIES AUTOMOC ON AUTOUIC ON AUTORCC ON)
target_compile_definitions(varno_app PRIVATE VARNO_VERSION="${PROJECT_VERSION}")
target_link_libraries(varno_app PUBLIC Common Qt6::Widgets)
foreach(dep server_engine platform_x11 platform_wayland hooks)
  if(TARGET ${dep})
    target_link_libraries(varno_app PUBLIC ${dep})
  endif()
endforeach()

add_executable(varno main.cpp)
target_compile_definitions(varno PRIVATE VARNO_VERSION="${PROJECT_VERSION}")
target_link_libraries(varno PRIVATE varno_app)
# In the build folder and in Setup's package folder libhooks.so lies beside the program. An
# installed tree (cmake --install, the .deb) keeps it in a private library folder instead, so
# that /usr/bin holds programs only; the RUNPATH stays relative, so any prefix works. The
# folder is the multiarch one where there is one (Debian: lib/x86_64-linux-gnu/orvane-varno),
# as for any architecture-dependent private library; it is no folder of the dynamic linker's.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(_private_libdir lib/${CMAKE_LIBRARY_ARCHITECTURE}/orvane-varno)
else()
  set(_private_libdir lib/orvane-varno)
endif()
set(ORVANE_PRIVATE_LIBDIR ${_private_libdir} CACHE STRING
  "Folder below the install prefix that holds libhooks.so")
set_target_properties(varno PROPERTIES
  BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN/../${ORVANE_PRIVATE_LIBDIR}"
  BUILD_WITH_INSTALL_RPATH OFF)
target_link_options(varno PRIVATE "LINKER:--enable-new-dtags")

install(TARGETS varno RUNTIME DESTINATION bin)
install(FILES varno.desktop DESTINATION share/applications)
install(FILES icons/tray-16.png DESTINATION share/icons/hicolor/16x16/apps RENAME varno.png)
install(FILES icons/tray-32.png DESTINATION share/icons/hicolor/32x32/apps RENAME varno.png)
# A library that is only ever loaded, never run: no execute bits.
if(TARGET hooks)
  install(TARGETS hooks LIBRARY DESTINATION ${ORVANE_PRIVATE_LIBDIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()
