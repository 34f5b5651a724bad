#pragma once
// Which tray host a desktop lacks, for the report of a server whose icon found no tray. The
// icon is shown by a StatusNotifierItem host (found through org.kde.StatusNotifierWatcher on
// the session bus: KDE's panel, swaybar, waybar, GNOME's AppIndicator extension) or, on X11
// only, by an XEmbed tray (the owner of the _NET_SYSTEM_TRAY_Sn selection).
//
// Called on the thread of the running QCoreApplication (the bus is asked through QtDBus).
#include <string>

// "no StatusNotifierItem host (...) and no XEmbed tray (...)", each part saying what was
// looked for and not found.
std::string MissingTrayHost();
