#include "server/Monitor.h"

#include <algorithm>
#include <cstdlib>

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include "Common/Log.h"
#include "Common/Target.h"
#include "platform/TrayHost.h"
#include "server/Sampler.h"
#include "server/ServerDialog.h"
#include "server/ServerState.h"
#include "server/varno.h"

int TrayRetryDelayMs() {
  const char* text = std::getenv("ORVANE_TEST_TRAY_RETRY_MS");
  if (text && *text) {
    int value = 0;
    if (ParseDialogInteger(text, &value) && value >= 0) return value;
  }
  return kTrayRetryMs;
}

Monitor::Monitor() {
  setWindowTitle(QStringLiteral("Orvane VARNO"));
  // A tool window is kept out of the taskbar; it is never shown anyway.
  setWindowFlags(Qt::Tool);
  setGeometry(0, 0, 0, 0);
  screen_timer_.setTimerType(Qt::CoarseTimer);
  pointer_timer_.setTimerType(Qt::CoarseTimer);
  // A tick that stopped for its time budget goes on once pending events are handled.
  continue_timer_.setSingleShot(true);
  // Refreshes begin at most once a second; one asked for meanwhile begins as soon as that
  // second is up, not up to a screen period later.
  refresh_timer_.setSingleShot(true);
  refresh_timer_.setTimerType(Qt::PreciseTimer);
  connect(&continue_timer_, &QTimer::timeout, [this] { Tick(); });
  connect(&screen_timer_, &QTimer::timeout, [this] {
    if (!continue_timer_.isActive()) Tick();
  });
  connect(&refresh_timer_, &QTimer::timeout, [this] {
    if (!continue_timer_.isActive()) Tick();
  });
  connect(&pointer_timer_, &QTimer::timeout, [] { SendPointer(); });
}

Monitor::~Monitor() {
  delete tray_;
  delete menu_;
}

bool Monitor::Create() {
  menu_ = new QMenu(QStringLiteral("&Monitor"));
  configure_action_ = menu_->addAction(QStringLiteral("&Configure..."));
  exit_action_ = menu_->addAction(QStringLiteral("E&xit..."));
  // Queued, so that the dialog's own event loop does not run inside the menu's handler.
  connect(configure_action_, &QAction::triggered, this, &Monitor::Configure,
          Qt::QueuedConnection);
  connect(exit_action_, &QAction::triggered, this, &Monitor::Exit, Qt::QueuedConnection);

  tray_ = new QSystemTrayIcon(QIcon(QStringLiteral(":/tray")));
  tray_->setContextMenu(menu_);
  connect(tray_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) Configure();
          },
          Qt::QueuedConnection);
  UpdateTip();

  if (!AddTrayIcon()) return false;
  StartTimers();
  return true;
}

bool Monitor::AddTrayIcon() {
  const int delay = TrayRetryDelayMs();
  for (int attempt = 1; attempt <= kTrayAttempts; ++attempt) {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      tray_->show();
      return true;
    }
    if (attempt == kTrayAttempts) break;
    if (attempt == 1) LogLine("No system tray yet; retrying every %d ms\n", delay);
    // Events keep being handled while waiting, so a tray that starts meanwhile is seen.
    QEventLoop wait;
    QTimer::singleShot(delay, &wait, &QEventLoop::quit);
    wait.exec(QEventLoop::ExcludeUserInputEvents);
  }
  LogLine("No system tray after %d attempts: %s\n", kTrayAttempts, MissingTrayHost().c_str());
  return false;
}

ServerDialog* Monitor::open_dialog() const {
  return static_cast<ServerDialog*>(dialog_.data());
}

void Monitor::Tick() {
  if (ScreenTick()) continue_timer_.start(0);
  const int wait = RefreshWaitMs();
  if (wait >= 0 && !refresh_timer_.isActive()) refresh_timer_.start(wait);
}

void Monitor::StartTimers() {
  // start() on a running timer replaces its period; the next tick is one new period away.
  screen_timer_.start(std::max(g_rate_screen, kMinTimerPeriodMs));
  pointer_timer_.start(std::max(g_rate_pointer, kMinTimerPeriodMs));
}

void Monitor::UpdateTip() {
  char tip[64];
  FormatTip(tip);
  if (tray_) tray_->setToolTip(QString::fromUtf8(tip));
}

void Monitor::Configure() {
  if (exiting_) return;
  // A second dialog would hold stale values and its OK would undo the first one's changes.
  if (dialog_) {
    dialog_->raise();
    dialog_->activateWindow();
    return;
  }
  ServerDialog dialog;
  dialog_ = &dialog;
  const int result = dialog.exec();
  dialog_ = nullptr;
  if (exiting_ || result != QDialog::Accepted) return;
  StartTimers();
  UpdateTip();
}

void Monitor::Exit() {
  if (exiting_) return;
  exiting_ = true;
  if (tray_) {
    tray_->hide();
    delete tray_;
    tray_ = nullptr;
  }
  // Ends every running loop, an open dialog's included.
  QCoreApplication::exit(0);
}
