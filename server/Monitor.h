#pragma once
// The server's tray presence: the icon with its tip and menu (Configure, Exit), and the two
// timers that drive the sampler. Never shown itself; lives on the main thread.
#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QAction;
class QMenu;
class QSystemTrayIcon;
class ServerDialog;

constexpr int kTrayAttempts = 30;
constexpr int kTrayRetryMs = 1000;

class Monitor : public QWidget {
 public:
  Monitor();
  ~Monitor() override;

  // Adds the tray icon (kTrayAttempts tries, kTrayRetryMs apart, while no tray is available)
  // and starts both timers. False when no tray ever appeared.
  bool Create();

  // Opens the settings dialog, or raises the one already open. After OK the timers restart
  // with the new periods and the tip shows the new target.
  void Configure();
  // Removes the icon, then ends the event loop with code 0.
  void Exit();

  // (Re)starts the timers with g_rate_screen and g_rate_pointer (at least kMinTimerPeriodMs).
  void StartTimers();
  // Gives the icon the tip of the target now in force.
  void UpdateTip();

  // For tests and the menu.
  QSystemTrayIcon* tray() const { return tray_; }
  QMenu* menu() const { return menu_; }
  QAction* configure_action() const { return configure_action_; }
  QAction* exit_action() const { return exit_action_; }
  ServerDialog* open_dialog() const;
  const QTimer& screen_timer() const { return screen_timer_; }
  const QTimer& pointer_timer() const { return pointer_timer_; }

 private:
  bool AddTrayIcon();
  void Tick();

  QSystemTrayIcon* tray_ = nullptr;
  QMenu* menu_ = nullptr;
  QAction* configure_action_ = nullptr;
  QAction* exit_action_ = nullptr;
  QTimer screen_timer_;   // TIMER_SCREEN
  QTimer pointer_timer_;  // TIMER_POINTER
  QTimer continue_timer_;  // the rest of a tick that used its time
  QTimer refresh_timer_;   // a tick the moment a waiting full refresh may begin
  QPointer<QDialog> dialog_;  // the open ServerDialog, if any
  bool exiting_ = false;
};

// The retry delay of the tray search: kTrayRetryMs, or ORVANE_TEST_TRAY_RETRY_MS when set
// (tests only; the number of attempts stays).
int TrayRetryDelayMs();
