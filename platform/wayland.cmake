# platform_wayland: screen sources for Wayland desktops. The protocol descriptions are ours
# (platform/protocols); wayland-scanner turns them into client code at build time.
pkg_get_variable(scanner wayland-scanner wayland_scanner)
if(NOT scanner)
  message(FATAL_ERROR "wayland-scanner not found (Debian: libwayland-dev)")
endif()
# Cached so that the tests' folders can generate their protocols too.
set(ORVANE_WAYLAND_SCANNER ${scanner} CACHE INTERNAL "wayland-scanner")

# orvane_wayland_protocol(VAR xml): generates the client header and glue code of one protocol
# into the build tree and appends the glue source to VAR.
function(orvane_wayland_protocol var xml)
  get_filename_component(base ${xml} NAME_WE)
  set(header ${CMAKE_CURRENT_BINARY_DIR}/wayland/${base}-client-protocol.h)
  set(code ${CMAKE_CURRENT_BINARY_DIR}/wayland/${base}-protocol.c)
  add_custom_command(OUTPUT ${header} ${code}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/wayland
    COMMAND ${ORVANE_WAYLAND_SCANNER} client-header ${xml} ${header}
    COMMAND ${ORVANE_WAYLAND_SCANNER} private-code ${xml} ${code}
    DEPENDS ${xml} VERBATIM)
  set(${var} ${${var}} ${header} ${code} PARENT_SCOPE)
endfunction()

set(ORVANE_SCREENCOPY_XML ${CMAKE_CURRENT_SOURCE_DIR}/protocols/wlr-screencopy-unstable-v1.xml)
orvane_wayland_protocol(screencopy_sources ${ORVANE_SCREENCOPY_XML})
# platform_tiles: which tiles of two pictures differ (the Wayland sources, and the server's
# comparison against what it sent). Portable, no dependencies.
add_library(platform_tiles STATIC TileCompare.cpp)

# The screencopy source, the ScreenCast portal (QtDBus) with its PipeWire stream, and the
# server's choice among them and the X11 source (ServerScreen.cpp, hence platform_x11).
add_library(platform_wayland STATIC
  ScreenCopy.cpp PipeWireScreen.cpp ScreenCastPortal.cpp ServerScreen.cpp ${screencopy_sources})
set_target_properties(platform_wayland PROPERTIES AUTOMOC ON)
target_include_directories(platform_wayland PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/wayland)
target_link_libraries(platform_wayland
  PUBLIC Threads::Threads platform_x11
  PRIVATE PkgConfig::WAYLAND_CLIENT PkgConfig::PIPEWIRE Qt6::DBus platform_tiles)
