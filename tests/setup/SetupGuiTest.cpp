// The installer as a person uses it: the real Setup from a package folder on its own Xvfb,
// driven by xdotool; and the pages' exchange rules on the offscreen platform.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <set>
#include <thread>

#include "Common/Registry.h"
#include "platform/ExePath.h"
#include "setup/Pages.h"
#include "setup/SetupState.h"
#include "tests/setup/SetupTestUtil.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::Child;
using testsupport::TempDir;

namespace {
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Orvane VARNO";

// Page dialog units to pixels of the window as it is shown (pages are 312 x 197 units).
class Desktop {
 public:
  explicit Desktop(const std::string& display) : display_(display) {}

  // The next page window: visible, captioned like every page, not one seen before.
  std::string NextPage(std::chrono::milliseconds limit = 30s) {
    std::string found;
    testsupport::WaitFor(
        [&] {
          std::string out;
          testsupport::Run(Env() + "xdotool search --onlyvisible --name '^Orvane VARNO Setup$' 2>/dev/null", &out);
          std::size_t start = 0;
          while (start < out.size()) {
            const std::size_t end = out.find('\n', start);
            const std::string id = out.substr(start, end - start);
            if (!id.empty() && !seen_.count(id)) {
              found = id;
              return true;
            }
            if (end == std::string::npos) break;
            start = end + 1;
          }
          return false;
        },
        limit);
    if (!found.empty()) {
      seen_.insert(found);
      std::this_thread::sleep_for(300ms);  // let it finish mapping and take focus
    }
    return found;
  }

  void Click(const std::string& window, double ux, double uy) {
    int width = 0, height = 0;
    std::string out;
    testsupport::Run(Env() + "xdotool getwindowgeometry --shell " + window, &out);
    std::sscanf(out.c_str() + out.find("WIDTH="), "WIDTH=%d", &width);
    std::sscanf(out.c_str() + out.find("HEIGHT="), "HEIGHT=%d", &height);
    const int x = static_cast<int>(ux * width / 312.0);
    const int y = static_cast<int>(uy * height / 197.0);
    testsupport::Run(Env() + "xdotool mousemove --window " + window + " " + std::to_string(x) + " " +
        std::to_string(y) + " click 1");
    std::this_thread::sleep_for(150ms);
  }

  // Replaces the text of the edit at (ux, uy).
  void TypeInto(const std::string& window, double ux, double uy, const std::string& text) {
    Click(window, ux, uy);
    testsupport::Run(Env() + "xdotool key ctrl+a BackSpace");
    testsupport::Run(Env() + "xdotool type --delay 5 '" + text + "'");
    std::this_thread::sleep_for(150ms);
  }

  void Key(const std::string& window, const std::string& key) {
    testsupport::Run(Env() + "xdotool mousemove --window " + window + " 5 5 key " + key);
    std::this_thread::sleep_for(150ms);
  }

  void ClickOk(const std::string& w) { Click(w, 220, 182); }

  // A new program may get the window ids of one that ended: forget them.
  void NewProgram() { seen_.clear(); }

 private:
  std::string Env() const { return "DISPLAY=" + display_ + " "; }
  std::string display_;
  std::set<std::string> seen_;
};

class SetupGui : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(xvfb.ok());
    setenv("ORVANE_REGISTRY", (root / "reg").c_str(), 1);
    for (const char* d : {"pkg", "opt", "menu", "home", "run"}) mkdir((root / d).c_str(), 0700);
    LayOutPackage();
    SetText(Hive::LocalMachine, kCurrentVersionKey, "ProgramFilesDir", root / "opt");
    SetText(Hive::LocalMachine, kShellFoldersKey, "Common Programs", root / "menu");
    SetText(Hive::CurrentUser, kShellFoldersKey, "Programs", root / "home/menu");
    I = root / "opt/Orvane VARNO";
    G = root / "menu/Orvane VARNO";
  }
  void TearDown() override { unsetenv("ORVANE_REGISTRY"); }

  // The files of the package target; programs that this build lacks get stand-ins.
  void LayOutPackage() {
    const std::string bin = testsupport::BinDir();
    ASSERT_EQ(testsupport::Run("cp '" + bin + "/Setup' '" + root / "pkg/Setup" + "'"), 0);
    for (const char* program : {"varno", "glimt", "libhooks.so"}) {
      const std::string built = bin + "/" + program;
      if (Exists(built)) {
        ASSERT_EQ(testsupport::Run("cp '" + built + "' '" + root / "pkg/" + program + "'"), 0);
      } else {
        WriteFile(root / "pkg/" + program, "#!/bin/sh\necho stand-in\n", 0755);
      }
    }
    for (const char* text : {"License.txt", "Readme.txt"}) {
      ASSERT_EQ(testsupport::Run("cp '" + testsupport::SourceDir() + "/setup/package/" + text + "' '" +
                    root / "pkg/" + text + "'"), 0);
    }
  }

  std::vector<std::string> Env() const {
    return {"ORVANE_REGISTRY=" + root / "reg", "HOME=" + root / "home",
            "XDG_RUNTIME_DIR=" + root / "run", "DISPLAY=" + xvfb.display(), "QT_QPA_PLATFORM=xcb"};
  }
  std::string Listing(const std::string& folder) {
    std::string out;
    testsupport::Run("LC_ALL=C ls -A '" + folder + "' 2>/dev/null", &out);
    return out;
  }

  testsupport::Xvfb xvfb;
  TempDir root;
  Desktop desktop{xvfb.display()};
  std::string I, G;
};
}  // namespace

TEST_F(SetupGui, InstallThroughThePagesThenUninstall) {
  const std::string folder = root / "My Apps/VARNO";
  I = folder;
  Child setup({root / "pkg/Setup"}, Env(), root / "setup.out");

  std::string page = desktop.NextPage();
  ASSERT_FALSE(page.empty()) << "licence page";
  desktop.ClickOk(page);  // Yes
  page = desktop.NextPage();
  ASSERT_FALSE(page.empty()) << "folder page";
  desktop.TypeInto(page, 127, 62, folder);
  desktop.ClickOk(page);
  page = desktop.NextPage();
  ASSERT_FALSE(page.empty()) << "components page";
  desktop.ClickOk(page);
  page = desktop.NextPage();
  ASSERT_FALSE(page.empty()) << "multicast page";
  desktop.TypeInto(page, 135, 75, "239.1.2.3");
  desktop.TypeInto(page, 135, 105, "5000");
  desktop.ClickOk(page);
  page = desktop.NextPage(20s);
  ASSERT_FALSE(page.empty()) << "finish page";
  desktop.ClickOk(page);
  int status = -1;
  ASSERT_TRUE(setup.Wait(10s, &status));
  EXPECT_EQ(status, 0);

  EXPECT_EQ(Listing(I), "License.txt\nReadme.txt\nUninstall\nUninstall.log\nglimt\nlibhooks.so\nvarno\n");
  EXPECT_EQ(ReadFile(I + "/Uninstall"), ReadFile(root / "pkg/Setup"));
  EXPECT_EQ(ModeOf(I + "/Uninstall") & 0111, 0111u);
  EXPECT_EQ(ModeOf(I + "/varno") & 0111, 0111u);
  EXPECT_EQ(Listing(G), "GLIMT (client).desktop\nUninstall VARNO.desktop\nVARNO (server).desktop\n");
  EXPECT_NE(ReadFile(G + "/Uninstall VARNO.desktop").find("Exec=\"" + I + "/Uninstall\"\n"),
            std::string::npos);
  EXPECT_EQ(GetText("SOFTWARE\\Orvane\\VARNO\\Parameters", "MulticastTarget"), "239.1.2.3:5000");
  EXPECT_EQ(GetText(kUninstallKey, "DisplayName"), "Orvane VARNO");
  EXPECT_EQ(GetText(kUninstallKey, "UninstallString"), "\"" + I + "/Uninstall\" -uninstall");

  const std::vector<LogRecord> expected = {
      {'F', I + "/glimt", ""}, {'F', I + "/libhooks.so", ""}, {'F', I + "/varno", ""},
      {'F', I + "/License.txt", ""}, {'F', I + "/Readme.txt", ""}, {'D', I, ""},
      {'F', I + "/Uninstall", ""}, {'D', I, ""}, {'R', "SOFTWARE\\Orvane\\VARNO", ""},
      {'F', G + "/Uninstall VARNO.desktop", ""}, {'F', G + "/GLIMT (client).desktop", ""},
      {'F', G + "/VARNO (server).desktop", ""}, {'D', G, ""}, {'R', kUninstallKey, ""},
  };
  const auto records = ReadLog(I);
  EXPECT_EQ(records, expected);

  desktop.NewProgram();
  Child uninstall({I + "/Uninstall", "-uninstall"}, Env(), root / "uninstall.out");
  page = desktop.NextPage(30s);
  ASSERT_FALSE(page.empty()) << "remove page; uninstaller running: " << uninstall.running()
                             << "; its output: " << ReadFile(root / "uninstall.out");
  desktop.ClickOk(page);  // Remove
  ASSERT_TRUE(uninstall.Wait(15s, &status));
  EXPECT_EQ(status, 0);
  for (const LogRecord& r : records) {
    if (r.type == 'F') {
      EXPECT_FALSE(Exists(r.first)) << r.first;
    }
  }
  EXPECT_FALSE(Exists(G));
  EXPECT_TRUE(Exists(I + "/Uninstall.log"));
  EXPECT_FALSE(KeyExists("SOFTWARE\\Orvane\\VARNO"));
  EXPECT_FALSE(KeyExists(kUninstallKey));
  EXPECT_TRUE(KeyExists("SOFTWARE\\Orvane"));
}

TEST_F(SetupGui, BothComponentsCleared) {
  Child setup({root / "pkg/Setup"}, Env(), root / "setup.out");
  std::string page = desktop.NextPage();
  ASSERT_FALSE(page.empty());
  desktop.ClickOk(page);
  page = desktop.NextPage();
  ASSERT_FALSE(page.empty());
  desktop.Key(page, "Return");  // keep the folder; Next is the default
  page = desktop.NextPage();
  ASSERT_FALSE(page.empty());
  desktop.Click(page, 40, 65);   // Server
  desktop.Click(page, 40, 100);  // Client
  desktop.ClickOk(page);
  page = desktop.NextPage(20s);
  ASSERT_FALSE(page.empty()) << "finish page, no multicast page";
  desktop.ClickOk(page);
  int status = -1;
  ASSERT_TRUE(setup.Wait(10s, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Listing(I), "License.txt\nReadme.txt\nUninstall\nUninstall.log\n");
  EXPECT_EQ(Listing(G), "Uninstall VARNO.desktop\n");
  EXPECT_EQ(GetText("SOFTWARE\\Orvane\\VARNO\\Parameters", "MulticastTarget"), "227.0.0.1:10510");
}

TEST_F(SetupGui, LicenceDeclinedWithEnterWritesNothing) {
  const std::string before = Listing(root / "pkg");
  Child setup({root / "pkg/Setup"}, Env(), root / "setup.out");
  const std::string page = desktop.NextPage();
  ASSERT_FALSE(page.empty());
  desktop.Key(page, "Return");
  int status = -1;
  ASSERT_TRUE(setup.Wait(10s, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Listing(root / "opt"), "");
  EXPECT_EQ(Listing(root / "menu"), "");
  EXPECT_EQ(Listing(root / "pkg"), before);
  EXPECT_FALSE(KeyExists("SOFTWARE\\Orvane"));
  EXPECT_FALSE(KeyExists(kUninstallKey));
}

namespace {
QApplication& OffscreenApp() {
  static int argc = 1;
  static char name[] = "setup_gui_tests";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Never destroyed: tearing Qt down among the other statics at exit crashes.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// Closes the first message box that opens and keeps its caption and text.
void AnswerNextBox(QString* caption, QString* text) {
  QTimer::singleShot(20, [=] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible()) {
        *caption = box->windowTitle();
        *text = box->text();
        box->accept();
        return;
      }
    }
    AnswerNextBox(caption, text);
  });
}
}  // namespace

TEST(SetupPages, LicencePageShowsIconAndTextAndEnterDeclines) {
  OffscreenApp();
  TempDir dir;
  WriteFile(dir / "LICENSE.TXT", "The licence.");
  g_source_folder = dir.path();
  LicensePage page;
  auto* icon = page.findChild<QLabel*>("iconLabel");
  auto* licence = page.findChild<QPlainTextEdit*>("licenseText");
  auto* no = page.findChild<QPushButton*>("cancelButton");
  ASSERT_TRUE(icon && licence && no);
  EXPECT_FALSE(icon->pixmap().isNull());
  EXPECT_EQ(licence->toPlainText(), "The licence.");
  EXPECT_TRUE(no->isDefault());
  EXPECT_EQ(no->text(), "No");
  page.show();
  QApplication::processEvents();
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(licence, &enter);
  EXPECT_EQ(page.result(), QDialog::Rejected);
  EXPECT_FALSE(page.isVisible());
}

TEST(SetupPages, PortFieldRefusesNonIntegersAndKeepsThePageOpen) {
  OffscreenApp();
  SetExecutablePathForTest("/pkg/Setup");
  SetupOptions options;
  MulticastPage page(options);
  auto* ui = page.findChild<QLineEdit*>("portEdit");
  auto* target = page.findChild<QLineEdit*>("targetEdit");
  ASSERT_TRUE(ui && target);
  EXPECT_EQ(ui->text(), "10510");
  EXPECT_EQ(target->text(), "227.0.0.1");
  page.show();
  target->setText("239.1.2.3");
  ui->setText("12a");
  QString caption, text;
  AnswerNextBox(&caption, &text);
  page.accept();
  EXPECT_EQ(caption, "Setup");
  EXPECT_EQ(text, "Please enter an integer.");
  EXPECT_TRUE(page.isVisible());
  EXPECT_EQ(options.multicast_port, 10510);
  EXPECT_EQ(options.multicast_target, "227.0.0.1") << "nothing is taken from a refused page";

  ui->setText("-1");
  page.accept();
  EXPECT_FALSE(page.isVisible());
  EXPECT_EQ(options.multicast_port, -1);
  EXPECT_EQ(options.multicast_target, "239.1.2.3");
}

// The folder page hands on an absolute folder in plain components, whatever was typed: the
// uninstall log's records and the menu entries' Exec lines are built from it.
TEST(SetupPages, FolderPageMakesTheFolderAbsolute) {
  OffscreenApp();
  TempDir cwd;
  char old[4096];
  ASSERT_TRUE(getcwd(old, sizeof old));
  ASSERT_EQ(chdir(cwd.path().c_str()), 0);
  const char* old_home = getenv("HOME");
  const std::string saved_home = old_home ? old_home : "";
  setenv("HOME", "/home/user", 1);
  struct Case {
    std::string typed, expected;
  } cases[] = {
      {"apps/VARNO", cwd / "apps/VARNO"},
      {"./a/../b", cwd / "b"},
      {"../x", FolderOfPath(cwd.path()) + "/x"},
      {"/opt/x/", "/opt/x"},
      {"/opt//x/./y", "/opt/x/y"},
      {"/opt/x/..", "/opt"},
      {"/../x", "/x"},
      {"~/apps", "/home/user/apps"},
      {"~", "/home/user"},
      {"~other/apps", cwd / "~other/apps"},
      {"/My Apps/VARNO", "/My Apps/VARNO"},
      {"/", ""},   // the root, as an empty folder stands for it
      {"", ""},
  };
  for (const Case& c : cases) {
    SetupOptions options;
    FolderPage page(options);
    auto* edit = page.findChild<QLineEdit*>("folderEdit");
    ASSERT_TRUE(edit);
    page.show();
    edit->setText(QString::fromStdString(c.typed));
    page.accept();
    EXPECT_EQ(options.install_folder, c.expected) << "typed " << c.typed;
    EXPECT_FALSE(page.isVisible());
  }
  setenv("HOME", saved_home.c_str(), 1);
  ASSERT_EQ(chdir(old), 0);
}

// Without a display it can reach, Setup says why in its log and on standard error and ends
// with 1 instead of aborting inside Qt; --help is help, not a one-argument uninstall.
TEST(SetupCommandLine, UnreachableDisplayAndHelp) {
  TempDir pkg;
  ASSERT_EQ(testsupport::Run("cp '" + testsupport::BinDir() + "/Setup' '" + pkg / "Setup'"), 0);
  struct Case {
    const char* what;
    std::string env, args;
    int status;
    const char* output;  // standard output and error together
    bool logged;
  } cases[] = {
      {"display that does not answer", "DISPLAY=:31999", "", 1,
       "The (desktop) condition failed at\nsetup/setup:", true},
      {"no display at all", "", "", 1, "The (desktop) condition failed at\nsetup/setup:", true},
      {"X11 asked for", "QT_QPA_PLATFORM=xcb DISPLAY=:31999", "", 1,
       "The (desktop) condition failed at\nsetup/setup:", true},
      {"uninstaller without a display", "DISPLAY=:31999", " -uninstall", 1,
       "The (desktop) condition failed at\nsetup/setup:", true},
      {"help", "DISPLAY=:31999", " --help", 0, "Usage: Setup", false},
  };
  std::string month;
  testsupport::Run("date +%Y%m | tr -d '\\n'", &month);
  const std::string log = pkg / "Setup-" + month + ".log";
  for (const Case& c : cases) {
    unlink(log.c_str());
    std::string out;
    const int status = testsupport::Run(
        "cd / && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u XDG_SESSION_TYPE " +
            c.env + " HOME='" + pkg.path() + "' XDG_RUNTIME_DIR='" + pkg.path() + "' '" +
            pkg / "Setup'" + c.args + " 2>&1",
        &out);
    EXPECT_EQ(status, c.status) << c.what << ": " << out;
    EXPECT_NE(out.find(c.output), std::string::npos) << c.what << ": " << out;
    const std::string text = ReadFile(log);
    EXPECT_EQ(text.find("ASSERT(desktop) failed") != std::string::npos, c.logged) << c.what;
    EXPECT_EQ(text.find("  in module [setup/setup:") != std::string::npos, c.logged) << c.what;
  }
  std::string help;
  testsupport::Run("'" + pkg / "Setup' --help", &help);
  EXPECT_NE(help.find("Setup-YYYYMM.log beside the program"), std::string::npos) << help;
  EXPECT_NE(help.find("~/.local/state/orvane/"), std::string::npos) << help;
}

TEST(SetupPages, StreamKeyFieldShowsDotsAndRefusesWhatTheProgramsCannotRead) {
  OffscreenApp();
  SetExecutablePathForTest("/pkg/Setup");
  struct Case { int length; bool taken; };
  const Case cases[] = {{0, true}, {258, true}, {259, true}, {260, false}};
  for (const Case& c : cases) {
    SetupOptions options;
    MulticastPage page(options);
    auto* key = page.findChild<QLineEdit*>("keyEdit");
    ASSERT_TRUE(key);
    EXPECT_EQ(key->text(), "");
    EXPECT_EQ(key->echoMode(), QLineEdit::Password);
    page.show();
    key->setText(QString(c.length, 'k'));
    QString caption, text;
    if (!c.taken) AnswerNextBox(&caption, &text);
    page.accept();
    EXPECT_EQ(page.isVisible(), !c.taken) << c.length;
    EXPECT_EQ(options.stream_key.size(), c.taken ? static_cast<std::size_t>(c.length) : 0u)
        << c.length;
    if (!c.taken) {
      EXPECT_EQ(text, "The stream key may hold at most 259 bytes.");
      page.reject();
    }
  }
}
