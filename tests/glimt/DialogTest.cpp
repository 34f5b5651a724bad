// The connection dialog on the offscreen platform, with a registry of its own.
#include "glimt/ConnectionDialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QRadioButton>
#include <QTimer>
#include <cstdlib>
#include <memory>

#include "Common/Registry.h"
#include "tests/support/TestSupport.h"
#include "ui_ConnectionDialog.h"

namespace {

const char kSection[] = "Parameters";

class ConnectionDialogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "glimt_dialog_tests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    (void)app;
  }
  void SetUp() override {
    registry_ = std::make_unique<testsupport::TempDir>();
    setenv("ORVANE_REGISTRY", registry_->path().c_str(), 1);
  }
  std::string StoredString(const char* name) {
    char text[kRegTextBytes] = "<missing>";
    GetSettingString(name, text, kSection);
    return text;
  }
  int64_t StoredDword(const char* name) {
    uint32_t v = 0;
    return GetSettingDword(name, &v, kSection) ? int64_t{static_cast<int32_t>(v)} : -999;
  }
  // Closes the next modal box (the refusal of a long text) once it is up.
  // Closes every message box that opens while it lives, and notes that one did. Only a
  // message box: the dialog itself is the active modal widget until the box is up.
  class BoxCloser {
   public:
    BoxCloser() {
      QObject::connect(&timer_, &QTimer::timeout, [this] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
          seen_ = true;
          box->close();
        }
      });
      timer_.start(5);
    }
    bool seen() const { return seen_; }
   private:
    QTimer timer_;
    bool seen_ = false;
  };
  std::unique_ptr<testsupport::TempDir> registry_;
};

TEST_F(ConnectionDialogTest, EmptyRegistryShowsTheDefaults) {
  ConnectionDialog d;
  EXPECT_EQ(d.windowTitle(), "Orvane GLIMT");
  EXPECT_TRUE(d.ui().serverRadio->isChecked());
  EXPECT_FALSE(d.ui().multicastRadio->isChecked());
  EXPECT_EQ(d.ui().serverEdit->text(), "");
  EXPECT_EQ(d.ui().addressEdit->text(), "227.0.0.1:10510");
  EXPECT_FALSE(d.ui().fullscreenCheck->isChecked());
  EXPECT_EQ(d.ui().serverRadio->text(), "Server:");
  EXPECT_EQ(d.ui().multicastRadio->text(), "Multicast Address:");
  EXPECT_EQ(d.ui().fullscreenCheck->text(), "Fullscreen");
  EXPECT_EQ(d.ui().keyEdit->text(), "");
  EXPECT_EQ(d.ui().keyLabel->text(), "Stream Key:");
}

TEST_F(ConnectionDialogTest, TheStreamKeyIsShownAsDotsAndStoredOnOkOnly) {
  SetSettingString("StreamKey", "alter Schlüssel", kSection);
  {
    ConnectionDialog d;
    EXPECT_EQ(d.key, QString::fromUtf8("alter Schlüssel"));
    EXPECT_EQ(d.ui().keyEdit->text(), QString::fromUtf8("alter Schlüssel"));
    EXPECT_EQ(d.ui().keyEdit->echoMode(), QLineEdit::Password);
    EXPECT_NE(d.ui().keyEdit->displayText(), d.ui().keyEdit->text()) << "dots, not the text";
    d.ui().keyEdit->setText("neuer");
    d.ui().cancelButton->click();
  }
  EXPECT_EQ(StoredString("StreamKey"), "alter Schlüssel");
  struct Case { const char* typed; const char* stored; };
  const Case cases[] = {{"neuer Schlüssel", "neuer Schlüssel"}, {"", ""}, {" a b ", " a b "}};
  for (const Case& c : cases) {
    ConnectionDialog d;
    d.ui().keyEdit->setText(QString::fromUtf8(c.typed));
    d.ui().okButton->click();
    EXPECT_EQ(d.key, QString::fromUtf8(c.typed));
    EXPECT_EQ(StoredString("StreamKey"), c.stored) << "as typed, nothing trimmed";
  }
}

TEST_F(ConnectionDialogTest, StoredValuesReplaceDefaultsOnlyWhenPresentAndNotEmpty) {
  struct Case {
    const char* server; const char* address; int64_t type; int64_t fullscreen;
    const char* want_server; const char* want_address; bool server_radio, multicast_radio, full;
  };
  const Case cases[] = {
      {"varnohost", "227.1.2.3:99", 1, 1, "varnohost", "227.1.2.3:99", false, true, true},
      {"", "", 0, 0, "", "227.0.0.1:10510", true, false, false},
      {nullptr, nullptr, 7, -1, "", "227.0.0.1:10510", false, false, true},  // no radio for 7
      {nullptr, nullptr, -1, 0, "", "227.0.0.1:10510", false, false, false},
  };
  for (const Case& c : cases) {
    SetUp();  // a fresh registry per case
    if (c.server) SetSettingString("Server", c.server, kSection);
    if (c.address) SetSettingString("Address", c.address, kSection);
    SetSettingDword("Type", static_cast<uint32_t>(c.type), kSection);
    SetSettingDword("Fullscreen", static_cast<uint32_t>(c.fullscreen), kSection);
    ConnectionDialog d;
    EXPECT_EQ(d.ui().serverEdit->text().toStdString(), c.want_server);
    EXPECT_EQ(d.ui().addressEdit->text().toStdString(), c.want_address);
    EXPECT_EQ(d.ui().serverRadio->isChecked(), c.server_radio) << c.type;
    EXPECT_EQ(d.ui().multicastRadio->isChecked(), c.multicast_radio) << c.type;
    EXPECT_EQ(d.ui().fullscreenCheck->isChecked(), c.full);
  }
}

TEST_F(ConnectionDialogTest, AValueOfAnotherKindKeepsTheDefault) {
  SetSettingString("Type", "1", kSection);
  SetSettingString("Fullscreen", "1", kSection);
  ConnectionDialog d;
  EXPECT_TRUE(d.ui().serverRadio->isChecked());
  EXPECT_FALSE(d.ui().fullscreenCheck->isChecked());
}

TEST_F(ConnectionDialogTest, OkWritesEveryValueAndCancelNone) {
  {
    ConnectionDialog d;
    d.ui().multicastRadio->setChecked(true);
    d.ui().okButton->click();
    EXPECT_EQ(d.result(), QDialog::Accepted);
    EXPECT_EQ(d.type, 1);
    EXPECT_EQ(d.address, "227.0.0.1:10510");
  }
  EXPECT_EQ(StoredString("Server"), "");
  EXPECT_EQ(StoredString("Address"), "227.0.0.1:10510");
  EXPECT_EQ(StoredDword("Type"), 1);
  EXPECT_EQ(StoredDword("Fullscreen"), 0);
  {
    ConnectionDialog d;  // made afresh: the saved values are the new defaults
    EXPECT_TRUE(d.ui().multicastRadio->isChecked());
    d.ui().serverEdit->setText("elsewhere");
    d.ui().fullscreenCheck->setChecked(true);
    d.ui().cancelButton->click();
    EXPECT_EQ(d.result(), QDialog::Rejected);
  }
  EXPECT_EQ(StoredString("Server"), "");
  EXPECT_EQ(StoredDword("Fullscreen"), 0);
}

TEST_F(ConnectionDialogTest, TextsThatDoNotFitTheBuffersAreRefusedNotCut) {
  enum Field { kServer, kAddress, kKey };
  struct Case { Field field; int length; bool accepted; };
  const Case cases[] = {{kServer, 259, true}, {kServer, 260, false}, {kAddress, 259, true},
                        {kAddress, 300, false}, {kKey, 258, true}, {kKey, 259, true},
                        {kKey, 260, false}};
  for (const Case& c : cases) {
    SetUp();
    ConnectionDialog d;
    d.show();
    QLineEdit* field = c.field == kServer    ? d.ui().serverEdit
                       : c.field == kAddress ? d.ui().addressEdit
                                             : d.ui().keyEdit;
    field->setText(QString(c.length, 'a'));
    BoxCloser boxes;
    d.ui().okButton->click();
    QApplication::processEvents();
    EXPECT_EQ(boxes.seen(), !c.accepted) << c.length;
    EXPECT_EQ(d.result() == QDialog::Accepted, c.accepted) << c.length;
    if (!c.accepted) {
      EXPECT_TRUE(d.isVisible());
      EXPECT_EQ(StoredString("Server"), "<missing>") << "nothing is written on a refusal";
    } else {
      const char* name = c.field == kServer ? "Server" : c.field == kAddress ? "Address" : "StreamKey";
      EXPECT_EQ(StoredString(name).size(), static_cast<std::size_t>(c.length));
    }
  }
}

TEST_F(ConnectionDialogTest, NoRadioSelectedGivesTypeMinusOne) {
  SetSettingDword("Type", 5, kSection);
  ConnectionDialog d;
  d.ui().okButton->click();
  EXPECT_EQ(d.type, -1);
  EXPECT_EQ(StoredDword("Type"), -1);
}

}  // namespace
