# platform_core: last error and system texts, executable path, clock, socket layer, registry
# hives on SQLite, message boxes, the session kind (X11 or Wayland). SQLite stays private so
# that no caller can reach it.
add_library(platform_core STATIC
  LastError.cpp ExePath.cpp Clock.cpp Socket.cpp RegistryHive.cpp MessageBox.cpp
  Session.cpp)
target_link_libraries(platform_core
  PUBLIC Qt6::Widgets Threads::Threads
  PRIVATE PkgConfig::SQLITE3)
