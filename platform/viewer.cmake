# platform_viewer: the viewer's view of its X display (pixel format, colour table, desktop
# size), the pointer warp on the receive thread's own connection, and window-manager frames.
# Xlib stays private so that the viewer's own code never reaches it.
add_library(platform_viewer STATIC ViewerDisplay.cpp PointerWarp.cpp WindowFrame.cpp)
target_link_libraries(platform_viewer PUBLIC platform_core PRIVATE X11::X11)
