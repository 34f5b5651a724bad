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
# libhooks.so ships beside the program.
set_target_properties(varno PROPERTIES
  BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH OFF)
target_link_options(varno PRIVATE "LINKER:--enable-new-dtags")

install(TARGETS varno RUNTIME DESTINATION bin)
install(FILES varno.desktop DESTINATION share/applications)
install(FILES icons/tray-16.png DESTINATION share/icons/hicolor/16x16/apps RENAME varno.png)
install(FILES icons/tray-32.png DESTINATION share/icons/hicolor/32x32/apps RENAME varno.png)
# varno finds libhooks.so through RUNPATH $ORIGIN, so the library goes into the same folder.
if(TARGET hooks)
  install(TARGETS hooks LIBRARY DESTINATION bin)
endif()
