#pragma once
// The desktop's ScreenCast portal (org.freedesktop.portal.ScreenCast on the session bus):
// the way to the screen that GNOME, KDE and the wlroots desktops all offer. The user is asked
// once which monitor to share; the portal then gives a restore token, and a later start that
// presents it is not asked again.
//
// Contract: called on the thread of the running QCoreApplication (the portal's answers arrive
// as D-Bus signals through its event loop, which runs inside the call until the exchange is
// over). The session stays open while the returned source lives.
#include <functional>
#include <memory>
#include <string>

#include "platform/Screen.h"

struct PortalOptions {
  // Token of an earlier start; empty: the user is asked.
  std::string restore_token;
  // Called with the token to keep for the next start, once the portal has granted one.
  std::function<void(const std::string&)> keep_token;
  // How long the portal (and the person choosing a monitor) may take for each answer.
  int answer_timeout_ms = 120000;
  int first_frame_timeout_ms = 3000;
  // Told what failed or was refused, and which source was opened (one line, no line end);
  // may be empty.
  ScreenNote note;
};

// The exchange: CreateSession, SelectSources (one monitor, the pointer as metadata where the
// portal offers it, persistent), Start, OpenPipeWireRemote; then the monitor's PipeWire
// stream (PipeWireScreen.h). nullptr, with a note saying what failed or was refused,
// when there is no portal, a request is cancelled or refused, or no picture arrives.
std::unique_ptr<ScreenSource> OpenPortalScreen(const PortalOptions& options,
                                               ScreenChangeSink sink);

// Cursor modes of the portal (bits of AvailableCursorModes) and the one we ask for: the
// pointer as metadata, so that viewers can follow it; drawn into the picture where the portal
// has no metadata mode; hidden where it offers neither. 0 when available is 0.
constexpr unsigned kCursorHidden = 1, kCursorEmbedded = 2, kCursorMetadata = 4;
unsigned ChooseCursorMode(unsigned available);
// Text for a portal response code (0 success, 1 cancelled by the user, 2 other).
const char* PortalResponseText(unsigned response);
