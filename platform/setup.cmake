# platform_setup: the installer's platform services: file replacement through a temporary
# file, removal that follows no link, .desktop shortcuts, systemd services. No Qt, no X11.
add_library(platform_setup STATIC FileReplace.cpp PathRemove.cpp ShellLink.cpp Service.cpp)
target_link_libraries(platform_setup PUBLIC platform_core)
