# platform_viewer: the viewer's view of its X display (pixel format, colour table, desktop
# size) or its Wayland compositor, the pointer warp on the receive thread's own connection,
# and window-manager frames. Xlib and libwayland stay private so that the viewer's own code
# never reaches them.
add_library(platform_viewer STATIC ViewerDisplay.cpp PointerWarp.cpp WindowFrame.cpp)
target_link_libraries(platform_viewer
  PUBLIC platform_core
  PRIVATE X11::X11 PkgConfig::WAYLAND_CLIENT)
