// Message boxes through Qt: modal on the GUI thread, queued from a worker thread.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <cerrno>
#include <thread>

#include "Common/Log.h"
#include "platform/LastError.h"
#include "platform/MessageBox.h"

namespace {
struct Seen {
  QString caption, text;
  QWidget* parent = nullptr;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int boxes = 0;
};

// Closes every visible message box as soon as it shows, remembering the last one.
QTimer* StartCloser(Seen* seen) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [seen] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(w);
      if (!box || !box->isVisible()) continue;
      seen->caption = box->windowTitle();
      seen->text = box->text();
      seen->parent = box->parentWidget();
      seen->icon = box->icon();
      ++seen->boxes;
      box->button(QMessageBox::Ok)->click();
    }
  });
  timer->start(10);
  return timer;
}

class MessageBoxTest : public testing::Test {
 protected:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = new QApplication(argc_, argv_);
  }
  void TearDown() override { delete app_; }
  int argc_ = 1;
  char name_[16] = "common_tests";
  char* argv_[2] = {name_, nullptr};
  QApplication* app_ = nullptr;
};
}  // namespace

TEST_F(MessageBoxTest, ErrorBoxOnTheGuiThreadIsModal) {
  Seen seen;
  QTimer* closer = StartCloser(&seen);
  QWidget owner;
  SetLastError(ECONNREFUSED);
  ErrorBox(&owner, "The (%s) condition failed at\n%s:%d", "sock != -1", "glimt/glimt", 88);
  EXPECT_EQ(GetLastError(), ECONNREFUSED);
  delete closer;
  EXPECT_EQ(seen.boxes, 1);
  EXPECT_EQ(seen.caption, "Internal Error");
  EXPECT_EQ(seen.text, "Connection refused\n\nThe (sock != -1) condition failed at\nglimt/glimt:88"
                       "\n\nClick Ok to continue.");
  EXPECT_EQ(seen.parent, &owner);
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
}

TEST_F(MessageBoxTest, WorkerWaitsWhileTheGuiLoopGoesOn) {
  Seen seen;
  std::atomic<bool> done{false};
  std::atomic<int> ticks_while_open{0};
  QTimer* closer = nullptr;
  QTimer ticker;
  // Close the box only after the GUI loop has shown, by ten ticks while the worker waits,
  // that it is still running; counting ticks instead of timing them holds on a loaded machine.
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    if (!done && ++ticks_while_open == 10 && !closer) closer = StartCloser(&seen);
  });
  ticker.start(5);

  std::thread worker([&] {
    ShowMessageBox(nullptr, "Worker", "from a thread", BoxKind::Warning);
    done = true;
    QMetaObject::invokeMethod(qApp, [] { QApplication::quit(); }, Qt::QueuedConnection);
  });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QApplication::quit(); });
  guard.start(5000);
  QApplication::exec();
  worker.join();
  delete closer;
  EXPECT_TRUE(done);
  EXPECT_EQ(seen.boxes, 1);
  EXPECT_EQ(seen.caption, "Worker");
  EXPECT_EQ(seen.text, "from a thread");
  EXPECT_EQ(seen.icon, QMessageBox::Warning);
  EXPECT_GE(ticks_while_open.load(), 10);
}
