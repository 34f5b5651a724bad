#pragma once
// The settings dialog of the server: target, broadcast area, timer periods, compression
// level and the network settings (largest datagram, rate, healing cycle, stream key). OK
// applies the values to the running server at once and writes them to the settings store; a
// new stream key is derived on a thread of its own and is in force a moment later. Main
// thread; modal, without owner.
#include <cstdint>
#include <memory>
#include <string>

#include <QDialog>

namespace Ui {
class ServerDialog;
}
class QLineEdit;
class QSlider;

class ServerDialog : public QDialog {
 public:
  explicit ServerDialog(QWidget* parent = nullptr);
  ~ServerDialog() override;

  // The values shown, filled from the running server at construction.
  struct Values {
    std::string target;  // "group:port"
    int32_t clip_bottom = 0, clip_left = 0, clip_right = 0, clip_top = 0;
    int rate_pointer = 0, rate_screen = 0, compression_level = 0;
    int max_datagram = 0, max_rate = 0, refresh_cycle = 0;
    std::string stream_key;  // the passphrase; shown as dots, never logged
  };
  const Values& values() const { return values_; }

  // The OK button: reads and checks every field, applies and stores them, closes with OK.
  // A field that fails shows its message, gets the focus, and nothing at all is applied.
  void OnOK();

  // The controls, for tests.
  QLineEdit* target_edit() const;
  QLineEdit* clip_left_edit() const;
  QLineEdit* clip_top_edit() const;
  QLineEdit* clip_right_edit() const;
  QLineEdit* clip_bottom_edit() const;
  QLineEdit* rate_screen_edit() const;
  QLineEdit* rate_pointer_edit() const;
  QSlider* compression_slider() const;
  QLineEdit* max_datagram_edit() const;
  QLineEdit* max_rate_edit() const;
  QLineEdit* refresh_cycle_edit() const;
  QLineEdit* stream_key_edit() const;

 private:
  void ToControls();
  // Field exchange in the fixed order; false after the message for the first bad field.
  bool FromControls(Values& out);
  // Values that parse but would leave the server sending nothing useful.
  bool Check(const Values& v);
  void Refuse(QLineEdit* field, const char* message);
  bool Apply();

  std::unique_ptr<Ui::ServerDialog> ui_;
  Values values_;
};
