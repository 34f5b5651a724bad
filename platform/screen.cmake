# platform_x11: the server side's X screen (capture, pointer), regions on pixman, thread
# queues and window queries. X11, Xext and pixman stay private to it.
add_library(platform_x11 STATIC
  Region.cpp Thread.cpp ThreadQueue.cpp Screen.cpp WindowQuery.cpp XErrorTrap.cpp)
target_link_libraries(platform_x11
  PUBLIC platform_core Threads::Threads
  PRIVATE X11::X11 PkgConfig::XEXT PkgConfig::PIXMAN)
# platform_tray: what a desktop without a system tray lacks (the session bus through QtDBus,
# the XEmbed selection through Xlib), for the server's start-up report.
add_library(platform_tray STATIC TrayHost.cpp)
target_link_libraries(platform_tray PRIVATE Qt6::DBus X11::X11)
