#include "server/ServerDialog.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>

#include "Common/Log.h"
#include "Common/MulticastSocket.h"
#include "Common/Registry.h"
#include "Common/Target.h"
#include "platform/Socket.h"
#include "server/Sampler.h"
#include "server/ServerKey.h"
#include "server/ServerState.h"
#include "server/varno.h"
#include "ui_ServerDialog.h"

static const char kModule[] = "server/ServerDialog";

namespace {

std::string CurrentTarget() {
  char text[kTextBytes + 16];
  std::snprintf(text, sizeof text, "%s:%d", g_group, g_port);
  return text;
}

std::string FieldText(const QLineEdit* field) { return field->text().toUtf8().toStdString(); }

void StoreInt(const char* name, int value) {
  // A failed write is not reported: the running values are in force all the same.
  SetSettingDword(name, static_cast<uint32_t>(value), kSettingsSection);
}

}  // namespace

ServerDialog::ServerDialog(QWidget* parent) : QDialog(parent), ui_(new Ui::ServerDialog) {
  values_.target = CurrentTarget();
  values_.clip_bottom = g_clip.bottom;
  values_.clip_left = g_clip.left;
  values_.clip_right = g_clip.right;
  values_.clip_top = g_clip.top;
  values_.rate_pointer = g_rate_pointer;
  values_.rate_screen = g_rate_screen;
  values_.compression_level = g_compression_level;
  values_.max_datagram = g_max_datagram;
  // Values past the integer rule's range cannot be typed back; shown as the largest that can.
  values_.max_rate = static_cast<int>(std::min<uint32_t>(g_max_rate, INT32_MAX));
  values_.refresh_cycle = static_cast<int>(std::min<uint32_t>(g_refresh_cycle, INT32_MAX));
  if (const ServerStreamKey* key = ServerKey()) values_.stream_key = key->passphrase();

  ui_->setupUi(this);
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setFixedSize(size());
  // Range first: QSlider clamps a value outside its range.
  ui_->sliderCompression->setRange(0, 9);
  ToControls();
  connect(ui_->buttonOk, &QPushButton::clicked, this, &ServerDialog::OnOK);
  connect(ui_->buttonCancel, &QPushButton::clicked, this, &QDialog::reject);
}

ServerDialog::~ServerDialog() = default;

QLineEdit* ServerDialog::target_edit() const { return ui_->editTarget; }
QLineEdit* ServerDialog::clip_left_edit() const { return ui_->editClipLeft; }
QLineEdit* ServerDialog::clip_top_edit() const { return ui_->editClipTop; }
QLineEdit* ServerDialog::clip_right_edit() const { return ui_->editClipRight; }
QLineEdit* ServerDialog::clip_bottom_edit() const { return ui_->editClipBottom; }
QLineEdit* ServerDialog::rate_screen_edit() const { return ui_->editRateScreen; }
QLineEdit* ServerDialog::rate_pointer_edit() const { return ui_->editRatePointer; }
QSlider* ServerDialog::compression_slider() const { return ui_->sliderCompression; }
QLineEdit* ServerDialog::max_datagram_edit() const { return ui_->editMaxDatagram; }
QLineEdit* ServerDialog::max_rate_edit() const { return ui_->editMaxRate; }
QLineEdit* ServerDialog::refresh_cycle_edit() const { return ui_->editRefreshCycle; }
QLineEdit* ServerDialog::stream_key_edit() const { return ui_->editStreamKey; }

void ServerDialog::ToControls() {
  ui_->editTarget->setText(QString::fromUtf8(values_.target.c_str()));
  ui_->editClipLeft->setText(QString::number(values_.clip_left));
  ui_->editClipTop->setText(QString::number(values_.clip_top));
  ui_->editClipRight->setText(QString::number(values_.clip_right));
  ui_->editClipBottom->setText(QString::number(values_.clip_bottom));
  ui_->editRateScreen->setText(QString::number(values_.rate_screen));
  ui_->editRatePointer->setText(QString::number(values_.rate_pointer));
  ui_->sliderCompression->setValue(values_.compression_level);
  ui_->editMaxDatagram->setText(QString::number(values_.max_datagram));
  ui_->editMaxRate->setText(QString::number(values_.max_rate));
  ui_->editRefreshCycle->setText(QString::number(values_.refresh_cycle));
  ui_->editStreamKey->setText(QString::fromUtf8(values_.stream_key.c_str()));
}

void ServerDialog::Refuse(QLineEdit* field, const char* message) {
  QMessageBox::warning(this, QStringLiteral("Orvane VARNO"), QString::fromUtf8(message));
  field->setFocus();
  field->selectAll();
}

bool ServerDialog::FromControls(Values& out) {
  out.target = FieldText(ui_->editTarget);
  struct Field {
    QLineEdit* edit;
    int* value;
  };
  const Field fields[] = {
      {ui_->editClipBottom, &out.clip_bottom}, {ui_->editClipLeft, &out.clip_left},
      {ui_->editClipRight, &out.clip_right},   {ui_->editClipTop, &out.clip_top},
      {ui_->editRatePointer, &out.rate_pointer}, {ui_->editRateScreen, &out.rate_screen},
      // Below the slider, which cannot fail: read after it in the same order.
      {ui_->editMaxDatagram, &out.max_datagram}, {ui_->editMaxRate, &out.max_rate},
      {ui_->editRefreshCycle, &out.refresh_cycle},
  };
  for (const Field& f : fields) {
    if (!ParseDialogInteger(FieldText(f.edit).c_str(), f.value)) {
      Refuse(f.edit, "Please enter an integer.");
      return false;
    }
  }
  out.compression_level = ui_->sliderCompression->value();
  out.stream_key = FieldText(ui_->editStreamKey);
  return true;
}

bool ServerDialog::Check(const Values& v) {
  char group[kTextBytes];
  int port = g_port;
  if (!SplitTarget(v.target.c_str(), group, &port)) {
    Refuse(ui_->editTarget, "The Multicast Address is longer than 259 characters.");
    return false;
  }
  if (!IsMulticastGroup(group)) {
    Refuse(ui_->editTarget,
           "The Multicast Address must be an IPv4 multicast group (224.0.0.0 to "
           "239.255.255.255), optionally followed by a colon and a port.");
    return false;
  }
  if (NamesPortZero(v.target.c_str())) {
    Refuse(ui_->editTarget, "The port after the colon must be a number from 1 to 65535.");
    return false;
  }
  if (v.clip_right <= v.clip_left) {
    Refuse(ui_->editClipRight, "ClipRight must be greater than ClipLeft.");
    return false;
  }
  if (v.clip_bottom <= v.clip_top) {
    Refuse(ui_->editClipBottom, "ClipBottom must be greater than ClipTop.");
    return false;
  }
  if (v.rate_screen < kMinTimerPeriodMs) {
    Refuse(ui_->editRateScreen, "The Screen Update Rate must be at least 10 ms.");
    return false;
  }
  if (v.rate_pointer < kMinTimerPeriodMs) {
    Refuse(ui_->editRatePointer, "The Pointer Update Rate must be at least 10 ms.");
    return false;
  }
  if (v.max_datagram < kMinMaxDatagram || v.max_datagram > kMaxMaxDatagram) {
    Refuse(ui_->editMaxDatagram, "The Max Datagram must be from 576 to 65507 bytes.");
    return false;
  }
  if (v.max_rate < 0) {
    Refuse(ui_->editMaxRate, "The Max Rate must be 0 (unpaced) or more kbit/s.");
    return false;
  }
  if (v.refresh_cycle < 0) {
    Refuse(ui_->editRefreshCycle, "The Refresh Cycle must be 0 (off) or more seconds.");
    return false;
  }
  // The settings store and the viewers hold it in 260-byte buffers: refused, never cut.
  if (v.stream_key.size() >= kRegTextBytes) {
    Refuse(ui_->editStreamKey, "The Stream Key may hold at most 259 characters.");
    return false;
  }
  return true;
}

bool ServerDialog::Apply() {
  g_clip = ClipRect{values_.clip_left, values_.clip_top, values_.clip_right, values_.clip_bottom};
  StoreInt("ClipLeft", values_.clip_left);
  StoreInt("ClipRight", values_.clip_right);
  StoreInt("ClipTop", values_.clip_top);
  StoreInt("ClipBottom", values_.clip_bottom);

  // An invalid socket is re-opened even for an unchanged text: after a failed re-open the
  // target already holds the new text, and OK must not report success while nothing is sent.
  if (values_.target != CurrentTarget() || g_multicast_sock == INVALID_SOCKET) {
    char group[kTextBytes];
    int port = g_port;
    SplitTarget(values_.target.c_str(), group, &port);  // length checked by Check()
    {
      std::lock_guard<std::mutex> lock(g_target_mutex);
      std::memcpy(g_group, group, kTextBytes);
      g_port = port;
    }
    SetSettingString("MulticastTarget", values_.target.c_str(), kSettingsSection);
    {
      // The sender thread may be inside a send on the old socket.
      std::lock_guard<std::mutex> lock(g_socket_mutex);
      if (g_multicast_sock != INVALID_SOCKET) {
        CloseSocket(g_multicast_sock);
        // Linux hands the number out again at once; a stale copy would send on someone
        // else's descriptor.
        g_multicast_sock = INVALID_SOCKET;
      }
    }
    const int sock = OpenMulticastSender(g_port, "");
    {
      std::lock_guard<std::mutex> lock(g_socket_mutex);
      g_multicast_sock = sock;
    }
    if (g_multicast_sock == INVALID_SOCKET) {
      ReportCheckFailure("g_multicast_sock != -1", kModule, 94);
      ConditionBox("g_multicast_sock != -1", kModule, 94);
      return false;
    }
  }

  g_rate_pointer = values_.rate_pointer;
  g_rate_screen = values_.rate_screen;
  g_compression_level = values_.compression_level;
  StoreInt("RatePointer", values_.rate_pointer);
  StoreInt("RateScreen", values_.rate_screen);
  StoreInt("CompressionLevel", values_.compression_level);
  g_max_datagram = values_.max_datagram;
  g_max_rate = static_cast<uint32_t>(values_.max_rate);
  g_refresh_cycle = static_cast<uint32_t>(values_.refresh_cycle);
  StoreInt("MaxDatagram", values_.max_datagram);
  StoreInt("MaxRate", values_.max_rate);
  StoreInt("RefreshCycle", values_.refresh_cycle);
  ApplySendSettings();
  SetSettingString("StreamKey", values_.stream_key.c_str(), kSettingsSection);
  // Derived off this thread: the viewers of the old key keep their picture meanwhile.
  ServerStreamKey* key = ServerKey();
  if (key && values_.stream_key != key->passphrase()) key->Change(values_.stream_key);
  return true;
}

void ServerDialog::OnOK() {
  Values entered;
  if (!FromControls(entered) || !Check(entered)) return;
  values_ = entered;
  if (Apply()) accept();
}
