#pragma once
// Logging and error reports shared by every program: the monthly log file beside the
// executable (or in the user's state folder when that is not writable), the debug stream
// (stderr), and message boxes. No state; any thread.
class QWidget;

#define ORVANE_PRINTF(a, b) __attribute__((format(printf, a, b)))

void Trace(const char* format, ...) ORVANE_PRINTF(1, 2);
void DebugTrace(const char* format, ...) ORVANE_PRINTF(1, 2);
void LogLine(const char* format, ...) ORVANE_PRINTF(1, 2);
void LogError(const char* format, ...) ORVANE_PRINTF(1, 2);
void ReportError(const char* format, ...) ORVANE_PRINTF(1, 2);
void ErrorBox(QWidget* parent, const char* format, ...) ORVANE_PRINTF(2, 3);
[[noreturn]] void FatalError(const char* message, const char* source, int line);
void ReportCheckFailure(const char* condition, const char* source, int line);

// The condition report that ends a failed start-up: ErrorBox without owner, text
// "The (%s) condition failed at\n%s:%d".
void ConditionBox(const char* condition, const char* source, int line);

// Called by FatalError before its box, so that a program can write out what it must not lose
// (the installer's uninstall log). One hook per process; nullptr removes it.
using FatalErrorHook = void (*)();
void SetFatalErrorHook(FatalErrorHook hook);

// The log file name for an executable path and a year/month (exposed for tests).
#include <string>
std::string LogFileName(const std::string& exe_path, int year, int month);
// Where a program logs when the folder of its executable is not writable (a system-wide
// installation), the log file keeping its monthly name: $XDG_STATE_HOME/orvane, else
// $HOME/.local/state/orvane; relative values do not count. Empty when neither is usable.
std::string LogStateFolder(const char* xdg_state_home, const char* home);
// True for a program in one of the system's program folders (/usr/..., /bin, /sbin), the
// place of a packaged installation: it logs into the state folder even when it could write
// beside itself (as root), so that no log file ever lands among the system's programs.
bool InSystemProgramFolder(const std::string& exe_path);
// For --help texts: where the log file goes; a printf format for the program's name.
constexpr char kLogPlacesHelp[] =
    "The log goes to %s-YYYYMM.log beside the program, or, where that folder is not\n"
    "writable or is a system program folder (/usr/...), into $XDG_STATE_HOME/orvane/\n"
    "(default ~/.local/state/orvane/).\n";

// A check that reports on failure with the condition as written, this file's module name
// (each .cpp defines `static const char kModule[] = "Common/ClientSocket";` or the like) and
// the real source line. Yields the condition's truth.
#define VERIFY(cond) ((cond) ? true : (ReportCheckFailure(#cond, kModule, __LINE__), false))
