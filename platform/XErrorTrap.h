#pragma once
// Xlib's default error handler ends the process. This trap counts the errors of the displays
// registered with it and hands errors of any other display to the handler installed before
// it, so several copies (the server's and libhooks.so's) chain safely. Internal to platform/.
typedef struct _XDisplay Display;

void InstallXErrorTrap();  // once per copy of this code; later calls do nothing
void RegisterTrappedDisplay(Display* dpy);
void UnregisterTrappedDisplay(Display* dpy);
// Number of errors seen on dpy so far; compare before and after an XSync.
unsigned long TrappedErrorCount(Display* dpy);
