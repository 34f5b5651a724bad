#pragma once
// Process-wide state of the viewer, shared by start-up, the receive thread and the window.
// Settings are final before the receive thread starts; the picture is published once through
// g_ready (release store after it is complete, acquire loads before use).
#include <atomic>

#include "Common/Target.h"
#include "glimt/BlockQueue.h"
#include "glimt/Decode.h"
#include "platform/ViewerDisplay.h"

class QImage;
class ViewerWindow;

extern char g_group[kTextBytes];
extern int g_port;
extern char g_server[kTextBytes];
extern int g_fullscreen;

extern std::atomic<int> g_ready;
extern AreaRect g_area;
extern QImage* g_picture;        // the broadcast area, in the display's own format
extern BlockQueue* g_blocks;
extern ViewerWindow* g_wnd;
extern DisplayFormat g_display;  // the local display, read before the QApplication

// "go\r\n" to g_server; nothing without one.
void RequestRefresh();
