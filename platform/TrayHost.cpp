#include "platform/TrayHost.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <cstdio>
#include <cstdlib>

// After Qt: Xlib defines Bool, Status and CursorShape, which Qt's headers use as names.
#include <X11/Xlib.h>

namespace {

const char kWatcher[] = "org.kde.StatusNotifierWatcher";

std::string StatusNotifierPart() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return "no StatusNotifierItem host (no D-Bus session bus)";
  if (!bus.interface()->isServiceRegistered(QString::fromLatin1(kWatcher)))
    return "no StatusNotifierItem host (nothing owns org.kde.StatusNotifierWatcher on the "
           "session bus)";
  QDBusMessage m = QDBusMessage::createMethodCall(kWatcher, "/StatusNotifierWatcher",
                                                  "org.freedesktop.DBus.Properties", "Get");
  m << QString::fromLatin1(kWatcher) << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = bus.call(m, QDBus::Block, 2000);
  if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
      reply.arguments().at(0).value<QDBusVariant>().variant().toBool())
    return "a StatusNotifierItem host that does not take the icon";
  return "no StatusNotifierItem host (org.kde.StatusNotifierWatcher runs, but no host has "
         "registered with it)";
}

std::string XEmbedPart() {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) return "no XEmbed tray (no X display)";
  Display* d = XOpenDisplay(name);
  if (!d) return std::string("no XEmbed tray (the X display ") + name + " cannot be opened)";
  char selection[32];
  std::snprintf(selection, sizeof selection, "_NET_SYSTEM_TRAY_S%d", DefaultScreen(d));
  const bool owned = XGetSelectionOwner(d, XInternAtom(d, selection, False)) != None;
  XCloseDisplay(d);
  if (owned) return std::string("an XEmbed tray on ") + name;
  return std::string("no XEmbed tray (nothing owns ") + selection + " on " + name + ")";
}

}  // namespace

std::string MissingTrayHost() { return StatusNotifierPart() + " and " + XEmbedPart(); }
