#pragma once
// Drawing on a test display's root window, kept apart because Xlib's macros clash with
// GoogleTest's names.
#include <string>

// Fills (x, y, w, h) of the root window with pixel and waits until the server has done it.
bool FillRootRectangle(const std::string& display, int x, int y, int w, int h,
                       unsigned long pixel);
