#pragma once
// The viewer's connection dialog: a server host (asked for the target through the rendezvous
// service) or a multicast address, the full-screen choice and the stream key. Made afresh
// from the registry each time; OK writes every value back before any connection is tried.
// Window thread only.
#include <QDialog>
#include <QString>
#include <memory>

namespace Ui { class ConnectionDialog; }
class QButtonGroup;
class QLineEdit;

class ConnectionDialog : public QDialog {
  Q_OBJECT
 public:
  explicit ConnectionDialog(QWidget* parent = nullptr);
  ~ConnectionDialog() override;

  // The values, as read from the registry at construction and from the controls after OK.
  QString address = QStringLiteral("227.0.0.1:10510");
  QString server;
  int type = 0;  // 0 "Server:", 1 "Multicast Address:", -1 none selected
  int fullscreen = 0;
  // The stream key's passphrase (StreamKey; empty: none). Shown as dots, never logged.
  QString key;

  Ui::ConnectionDialog& ui() { return *ui_; }

 public slots:
  void accept() override;

 private:
  void ToControls();
  void FromControls();
  bool FitsBuffer(QLineEdit* field);

  std::unique_ptr<Ui::ConnectionDialog> ui_;
  QButtonGroup* radios_;
};
