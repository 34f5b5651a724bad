#include "glimt/ConnectionDialog.h"

#include <QButtonGroup>
#include <QMessageBox>
#include <cstring>

#include "Common/Registry.h"
#include "Common/Target.h"
#include "ui_ConnectionDialog.h"

namespace {
const char kSection[] = "Parameters";
}

ConnectionDialog::ConnectionDialog(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::ConnectionDialog>()) {
  ui_->setupUi(this);
  radios_ = new QButtonGroup(this);
  radios_->addButton(ui_->serverRadio, 0);
  radios_->addButton(ui_->multicastRadio, 1);

  char text[kRegTextBytes] = "";
  if (GetSettingString("Server", text, kSection) && text[0]) server = QString::fromUtf8(text);
  text[0] = 0;
  if (GetSettingString("Address", text, kSection) && text[0]) address = QString::fromUtf8(text);
  uint32_t value = 0;
  if (GetSettingDword("Type", &value, kSection)) type = static_cast<int32_t>(value);
  if (GetSettingDword("Fullscreen", &value, kSection)) fullscreen = static_cast<int32_t>(value);
  text[0] = 0;
  if (GetSettingString("StreamKey", text, kSection)) key = QString::fromUtf8(text);
  std::memset(text, 0, sizeof text);
  ToControls();
}

ConnectionDialog::~ConnectionDialog() = default;

void ConnectionDialog::ToControls() {
  ui_->addressEdit->setText(address);
  ui_->serverEdit->setText(server);
  // An exclusive group cannot be emptied by unchecking, so clear it while non-exclusive.
  radios_->setExclusive(false);
  ui_->serverRadio->setChecked(type == 0);
  ui_->multicastRadio->setChecked(type == 1);
  radios_->setExclusive(true);
  ui_->fullscreenCheck->setChecked(fullscreen != 0);
  ui_->keyEdit->setText(key);
}

void ConnectionDialog::FromControls() {
  address = ui_->addressEdit->text();
  server = ui_->serverEdit->text();
  type = radios_->checkedId();  // -1 when none is checked
  fullscreen = ui_->fullscreenCheck->isChecked() ? 1 : 0;
  key = ui_->keyEdit->text();
}

// The settings and the program hold these texts in 260-byte buffers: refuse, never cut.
bool ConnectionDialog::FitsBuffer(QLineEdit* field) {
  if (field->text().toUtf8().size() < static_cast<qsizetype>(kTextBytes)) return true;
  QMessageBox::warning(this, windowTitle(),
                       tr("The text may hold at most %1 characters.").arg(kTextBytes - 1));
  field->setFocus();
  field->selectAll();
  return false;
}

void ConnectionDialog::accept() {
  if (!FitsBuffer(ui_->addressEdit) || !FitsBuffer(ui_->serverEdit) ||
      !FitsBuffer(ui_->keyEdit))
    return;
  FromControls();
  SetSettingString("Server", server.toUtf8().constData(), kSection);
  SetSettingString("Address", address.toUtf8().constData(), kSection);
  SetSettingDword("Type", static_cast<uint32_t>(type), kSection);
  SetSettingDword("Fullscreen", static_cast<uint32_t>(fullscreen), kSection);
  SetSettingString("StreamKey", key.toUtf8().constData(), kSection);
  QDialog::accept();
}
