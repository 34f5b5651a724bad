#include "platform/MessageBox.h"

#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QSemaphore>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <memory>
#include <string>

namespace {
QMessageBox::Icon IconOf(BoxKind kind) {
  switch (kind) {
    case BoxKind::Information: return QMessageBox::Information;
    case BoxKind::Warning: return QMessageBox::Warning;
    case BoxKind::Critical: break;
  }
  return QMessageBox::Critical;
}

// A headless program still tells its user why it stopped: one write, so that lines of several
// threads do not mix.
void WriteToStderr(const char* caption, const char* text) {
  std::string all = std::string(caption ? caption : "") + ": " + (text ? text : "") + "\n";
  const char* p = all.data();
  std::size_t left = all.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}
}  // namespace

void ShowMessageBox(QWidget* parent, const char* caption, const char* text, BoxKind kind) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app || QCoreApplication::closingDown()) {
    WriteToStderr(caption, text);
    return;
  }
  const QString qcaption = QString::fromUtf8(caption ? caption : "");
  const QString qtext = QString::fromUtf8(text ? text : "");
  const QMessageBox::Icon icon = IconOf(kind);

  if (QThread::currentThread() == app->thread()) {
    QMessageBox box(icon, qcaption, qtext, QMessageBox::Ok, parent);
    box.exec();
    return;
  }

  // From a worker: open the box on the GUI thread without blocking its event loop, and wait
  // here until the user closes it.
  // Shared, so that a box destroyed late (the application ending) never touches a finished
  // caller's stack; released once, by whichever comes first.
  struct Waiter {
    QSemaphore closed;
    std::atomic<bool> done{false};
    void Release() {
      if (!done.exchange(true)) closed.release();
    }
  };
  auto waiter = std::make_shared<Waiter>();
  QPointer<QWidget> owner(parent);
  QMetaObject::invokeMethod(app, [waiter, owner, icon, qcaption, qtext]() {
    auto* box = new QMessageBox(icon, qcaption, qtext, QMessageBox::Ok, owner.data());
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QDialog::finished, [waiter]() { waiter->Release(); });
    QObject::connect(box, &QObject::destroyed, [waiter]() { waiter->Release(); });
    box->open();
  }, Qt::QueuedConnection);
  waiter->closed.acquire();
}
