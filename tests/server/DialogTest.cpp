// The settings dialog applied to a running server: what OK changes, stores and re-opens, and
// what it refuses. Opens sockets: runs in a private network namespace.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <QLineEdit>
#include <QMessageBox>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTimer>

#include "Common/ClientSocket.h"
#include "Common/MulticastSocket.h"
#include "platform/Socket.h"
#include "platform/Thread.h"
#include "server/Monitor.h"
#include "server/Rendezvous.h"
#include "Common/StreamKey.h"
#include "Common/UpdateHeader.h"
#include "server/Sender.h"
#include "server/ServerDialog.h"
#include "server/ServerKey.h"
#include "tests/common/CommonTestUtil.h"
#include "tests/server/ServerTestUtil.h"

using namespace servertest;

namespace {

// Answers every message box that opens (with OK) and keeps its text.
class BoxCatcher {
 public:
  BoxCatcher() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts_.push_back(box->text().toStdString());
        box->accept();
      }
    });
    timer_.start(5);
  }
  const std::vector<std::string>& texts() const { return texts_; }
 private:
  QTimer timer_;
  std::vector<std::string> texts_;
};

ino_t SocketInode(int sock) {
  struct stat st{};
  if (fstat(sock, &st) != 0) return 0;
  return st.st_ino;
}

int LocalPort(int sock) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(sock, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

const char* const kIntegerNames[] = {"ClipLeft",    "ClipRight",   "ClipTop",
                                     "ClipBottom",  "RatePointer", "RateScreen",
                                     "CompressionLevel", "MaxDatagram", "MaxRate",
                                     "RefreshCycle"};

class ServerDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    OffscreenApp();
    ResetServerGlobals();
    g_clip = ClipRect{0, 0, 1024, 768};
    g_multicast_sock = OpenMulticastSender(g_port, "");
    ASSERT_NE(g_multicast_sock, INVALID_SOCKET);
  }
  void TearDown() override {
    if (g_multicast_sock != INVALID_SOCKET) CloseSocket(g_multicast_sock);
    g_multicast_sock = INVALID_SOCKET;
  }
  bool NothingStored() {
    for (const char* name : kIntegerNames)
      if (StoredDword(name)) return false;
    return !StoredString("MulticastTarget");
  }
  PrivateRegistry registry_;
};

TEST_F(ServerDialogTest, ShowsTheRunningValues) {
  g_port = 4000;
  g_clip = ClipRect{-5, 10, 640, 480};
  g_rate_screen = 150;
  g_rate_pointer = 40;
  g_compression_level = 6;
  ServerDialog dialog;
  EXPECT_EQ(dialog.windowTitle(), "Orvane VARNO");
  EXPECT_EQ(dialog.target_edit()->text(), "227.0.1.1:4000");
  EXPECT_EQ(dialog.clip_left_edit()->text(), "-5");
  EXPECT_EQ(dialog.clip_top_edit()->text(), "10");
  EXPECT_EQ(dialog.clip_right_edit()->text(), "640");
  EXPECT_EQ(dialog.clip_bottom_edit()->text(), "480");
  EXPECT_EQ(dialog.rate_screen_edit()->text(), "150");
  EXPECT_EQ(dialog.rate_pointer_edit()->text(), "40");
  EXPECT_EQ(dialog.compression_slider()->value(), 6);
  EXPECT_EQ(dialog.compression_slider()->minimum(), 0);
  EXPECT_EQ(dialog.compression_slider()->maximum(), 9);
  EXPECT_EQ(dialog.compression_slider()->tickPosition(), QSlider::TicksAbove);
  EXPECT_EQ(dialog.max_datagram_edit()->text(), "1472");
  EXPECT_EQ(dialog.max_rate_edit()->text(), "50000");
  EXPECT_EQ(dialog.refresh_cycle_edit()->text(), "10");
}

TEST_F(ServerDialogTest, OkWithoutChangesWritesAllTenIntegersAndKeepsTheSocket) {
  const int sock = g_multicast_sock;
  const ino_t inode = SocketInode(sock);
  BoxCatcher boxes;
  ServerDialog dialog;
  dialog.OnOK();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(boxes.texts().empty());
  const uint32_t want[] = {0, 1024, 0, 768, 50, 200, 1, 1472, 50000, 10};
  for (size_t i = 0; i < std::size(kIntegerNames); ++i)
    EXPECT_EQ(StoredDword(kIntegerNames[i]), want[i]) << kIntegerNames[i];
  EXPECT_EQ(StoredString("MulticastTarget"), std::nullopt) << "target unchanged: not written";
  EXPECT_EQ(g_multicast_sock, sock);
  EXPECT_EQ(SocketInode(g_multicast_sock), inode) << "the socket was re-opened";
}

TEST_F(ServerDialogTest, NewPortReopensTheSocketAndShowsInTipAndRendezvousReply) {
  long tid = 0;
  ASSERT_TRUE(StartThread(RendezvousThread, nullptr, &tid));
  setenv("ORVANE_TEST_TRAY_RETRY_MS", "0", 1);
  Monitor monitor;
  monitor.Create();  // no tray offscreen: the icon object exists, the timers do not run
  unsetenv("ORVANE_TEST_TRAY_RETRY_MS");
  ASSERT_NE(monitor.tray(), nullptr);
  EXPECT_EQ(monitor.tray()->toolTip(), "Orvane VARNO [227.0.1.1:10510]");
  const ino_t old_inode = SocketInode(g_multicast_sock);

  bool raised_only = false;
  QTimer::singleShot(0, [&] {
    ServerDialog* dialog = monitor.open_dialog();
    ASSERT_NE(dialog, nullptr);
    // A second Configure while the dialog is open raises it instead of nesting another.
    monitor.Configure();
    raised_only = monitor.open_dialog() == dialog;
    dialog->target_edit()->setText("227.0.1.1:10600");
    dialog->OnOK();
  });
  monitor.Configure();

  EXPECT_TRUE(raised_only);
  EXPECT_EQ(monitor.open_dialog(), nullptr);
  EXPECT_STREQ(g_group, "227.0.1.1");
  EXPECT_EQ(g_port, 10600);
  EXPECT_EQ(StoredString("MulticastTarget"), "227.0.1.1:10600");
  ASSERT_NE(g_multicast_sock, INVALID_SOCKET);
  EXPECT_NE(SocketInode(g_multicast_sock), old_inode);
  EXPECT_EQ(LocalPort(g_multicast_sock), 10600);
  EXPECT_EQ(monitor.tray()->toolTip(), "Orvane VARNO [227.0.1.1:10600]");
  EXPECT_TRUE(monitor.screen_timer().isActive()) << "OK restarts the timers";
  EXPECT_EQ(monitor.screen_timer().interval(), 200);
  EXPECT_EQ(monitor.pointer_timer().interval(), 50);

  int conn = ConnectTo("127.0.0.1", kRendezvousPort);
  ASSERT_NE(conn, INVALID_SOCKET);
  ASSERT_GT(SendText(conn, "init\r\n"), 0);
  char reply[300];
  std::string got;
  int n;
  while ((n = Receive(conn, reply, sizeof reply - 1)) > 0) got.append(reply, n);
  CloseSocket(conn);
  EXPECT_EQ(got, "227.0.1.1:10600\r\n");
}

TEST_F(ServerDialogTest, TargetWithoutColonKeepsThePortAndIsStoredAsTyped) {
  g_port = 4000;
  BoxCatcher boxes;
  ServerDialog dialog;
  dialog.target_edit()->setText("227.0.9.9");
  dialog.OnOK();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_STREQ(g_group, "227.0.9.9");
  EXPECT_EQ(g_port, 4000);
  EXPECT_EQ(StoredString("MulticastTarget"), "227.0.9.9");
  EXPECT_EQ(LocalPort(g_multicast_sock), 4000);
}

TEST_F(ServerDialogTest, NonIntegerFieldChangesNothingAndTakesTheFocus) {
  struct Case {
    const char* field;
    QLineEdit* (ServerDialog::*edit)() const;
    const char* text;
  };
  const Case cases[] = {
      {"ClipBottom", &ServerDialog::clip_bottom_edit, "7o0"},
      {"ClipLeft", &ServerDialog::clip_left_edit, ""},
      {"ClipRight", &ServerDialog::clip_right_edit, "1024.0"},
      {"ClipTop", &ServerDialog::clip_top_edit, "- 1"},
      {"Pointer Update Rate", &ServerDialog::rate_pointer_edit, "99999999999"},
      {"Screen Update Rate", &ServerDialog::rate_screen_edit, "fast"},
      {"Max Datagram", &ServerDialog::max_datagram_edit, "1.5k"},
      {"Max Rate", &ServerDialog::max_rate_edit, "2147483648"},
      {"Refresh Cycle", &ServerDialog::refresh_cycle_edit, "ten"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.field);
    BoxCatcher boxes;
    ServerDialog dialog;
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    // A valid change in an earlier field must not be applied either.
    dialog.target_edit()->setText("227.0.7.7:7000");
    (dialog.*c.edit)()->setText(c.text);
    dialog.OnOK();
    QApplication::processEvents();
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_EQ(boxes.texts()[0], "Please enter an integer.");
    EXPECT_EQ(dialog.focusWidget(), (dialog.*c.edit)());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_TRUE(dialog.isVisible()) << "the dialog stays open";
    EXPECT_STREQ(g_group, "227.0.1.1");
    EXPECT_EQ(g_port, 10510);
    EXPECT_EQ(g_clip.right, 1024);
    EXPECT_EQ(g_rate_screen, 200);
    EXPECT_TRUE(NothingStored());
  }
}

TEST_F(ServerDialogTest, FieldsAreReadInTheirFixedOrder) {
  // ClipBottom is exchanged before ClipLeft, so its field is the one blamed.
  BoxCatcher boxes;
  ServerDialog dialog;
  dialog.show();
  QApplication::setActiveWindow(&dialog);
  dialog.clip_left_edit()->setText("x");
  dialog.clip_bottom_edit()->setText("y");
  dialog.OnOK();
  QApplication::processEvents();
  ASSERT_EQ(boxes.texts().size(), 1u);
  EXPECT_EQ(dialog.focusWidget(), dialog.clip_bottom_edit());
}

TEST_F(ServerDialogTest, ValuesThatMakeNoSenseAreRefusedNamingTheField) {
  const std::string too_long = "227.0.1.1:" + std::string(300, '1');
  struct Case {
    QLineEdit* (ServerDialog::*edit)() const;
    std::string text;
    const char* message_names;
  };
  const Case cases[] = {
      {&ServerDialog::rate_screen_edit, "0", "Screen Update Rate"},
      {&ServerDialog::rate_screen_edit, "9", "Screen Update Rate"},
      {&ServerDialog::rate_pointer_edit, "-50", "Pointer Update Rate"},
      {&ServerDialog::clip_right_edit, "0", "ClipRight"},
      {&ServerDialog::clip_bottom_edit, "-1", "ClipBottom"},
      {&ServerDialog::target_edit, "10.0.0.1:10510", "Multicast Address"},
      {&ServerDialog::target_edit, "240.0.0.1", "Multicast Address"},
      {&ServerDialog::target_edit, "viewers.local", "Multicast Address"},
      {&ServerDialog::target_edit, "", "Multicast Address"},
      {&ServerDialog::target_edit, too_long, "Multicast Address"},
      {&ServerDialog::target_edit, "227.0.1.1:", "port"},
      {&ServerDialog::target_edit, "227.0.1.1:65536", "port"},
      {&ServerDialog::max_datagram_edit, "575", "Max Datagram"},
      {&ServerDialog::max_datagram_edit, "65508", "Max Datagram"},
      {&ServerDialog::max_datagram_edit, "0", "Max Datagram"},
      {&ServerDialog::max_rate_edit, "-1", "Max Rate"},
      {&ServerDialog::refresh_cycle_edit, "-1", "Refresh Cycle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 30));
    BoxCatcher boxes;
    ServerDialog dialog;
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    (dialog.*c.edit)()->setText(QString::fromStdString(c.text));
    dialog.OnOK();
    QApplication::processEvents();
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_NE(boxes.texts()[0].find(c.message_names), std::string::npos) << boxes.texts()[0];
    EXPECT_EQ(dialog.focusWidget(), (dialog.*c.edit)());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_STREQ(g_group, "227.0.1.1");
    EXPECT_EQ(g_port, 10510);
    EXPECT_EQ(g_clip.right, 1024);
    EXPECT_EQ(g_clip.bottom, 768);
    EXPECT_EQ(g_rate_screen, 200);
    EXPECT_EQ(g_rate_pointer, 50);
    EXPECT_TRUE(NothingStored());
  }
}

TEST_F(ServerDialogTest, SliderEndsGiveLevelsZeroAndNine) {
  for (int level : {0, 9}) {
    SCOPED_TRACE(level);
    ServerDialog dialog;
    dialog.compression_slider()->setValue(level);
    dialog.OnOK();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(g_compression_level, level);
    EXPECT_EQ(StoredDword("CompressionLevel"), static_cast<uint32_t>(level));
  }
  ServerDialog dialog;
  dialog.compression_slider()->setValue(42);  // beyond the right end
  EXPECT_EQ(dialog.compression_slider()->value(), 9);
}

// The network settings at their edges are taken, stored and in force at once: the sender
// paces at the new rate.
TEST_F(ServerDialogTest, NetworkSettingsAtTheirEdgesApplyAtOnce) {
  ASSERT_TRUE(StartServerSender());
  struct Case { const char* datagram; const char* rate; const char* cycle; int d; uint32_t r, c; };
  const Case cases[] = {
      {"576", "0", "0", 576, 0, 0},
      {"577", "1", "1", 577, 1, 1},
      {"65506", "2147483647", "86400", 65506, 2147483647u, 86400},
      {" 65507 ", "50000", "10", 65507, 50000, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.datagram);
    BoxCatcher boxes;
    ServerDialog dialog;
    dialog.max_datagram_edit()->setText(c.datagram);
    dialog.max_rate_edit()->setText(c.rate);
    dialog.refresh_cycle_edit()->setText(c.cycle);
    dialog.OnOK();
    EXPECT_TRUE(boxes.texts().empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(g_max_datagram, c.d);
    EXPECT_EQ(g_max_rate, c.r);
    EXPECT_EQ(g_refresh_cycle, c.c);
    EXPECT_EQ(StoredDword("MaxDatagram"), static_cast<uint32_t>(c.d));
    EXPECT_EQ(StoredDword("MaxRate"), c.r);
    EXPECT_EQ(StoredDword("RefreshCycle"), c.c);
    EXPECT_EQ(ServerSender()->rate_bytes(), uint64_t{c.r} * 1000 / 8);
  }
}

TEST_F(ServerDialogTest, CancelChangesNothing) {
  ServerDialog dialog;
  dialog.target_edit()->setText("227.0.5.5:5555");
  dialog.rate_screen_edit()->setText("500");
  dialog.reject();
  EXPECT_STREQ(g_group, "227.0.1.1");
  EXPECT_EQ(g_rate_screen, 200);
  EXPECT_TRUE(NothingStored());
}

TEST_F(ServerDialogTest, FailedReopenKeepsTheDialogOpenAndTheNextOkRetries) {
  BoxCatcher boxes;
  ServerDialog dialog;
  dialog.target_edit()->setText("227.0.1.1:10700");
  dialog.rate_screen_edit()->setText("300");

  // Another program holds the new port (without SO_REUSEADDR), so the sender cannot bind.
  const int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(blocker, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(10700);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  dialog.OnOK();
  close(blocker);

  ASSERT_EQ(boxes.texts().size(), 1u);
  EXPECT_NE(boxes.texts()[0].find(
                "The (g_multicast_sock != -1) condition failed at\nserver/ServerDialog:94"),
            std::string::npos)
      << boxes.texts()[0];
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(g_multicast_sock, INVALID_SOCKET);
  EXPECT_EQ(g_rate_screen, 200) << "rates are not applied after a failed re-open";
  EXPECT_EQ(g_port, 10700);

  // Same text again: the target compares equal, but the missing socket is opened now.
  dialog.OnOK();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  ASSERT_NE(g_multicast_sock, INVALID_SOCKET);
  EXPECT_EQ(LocalPort(g_multicast_sock), 10700);
  EXPECT_EQ(g_rate_screen, 300);
  EXPECT_EQ(boxes.texts().size(), 1u);
}

}  // namespace

namespace {

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The next datagram on rx after one pointer datagram went to the server's sender.
std::vector<uint8_t> SendAndReceive(int rx) {
  uint8_t pointer[kUpdateHeaderBytes];
  EncodeUpdateHeader(UpdateHeader{UPDATE_POINTER, 0, 400, 300, 0, 0}, pointer);
  ServerSender()->PushControl(DatagramBytes(pointer, pointer + sizeof pointer));
  pollfd p{rx, POLLIN, 0};
  std::vector<uint8_t> d(65536);
  if (poll(&p, 1, 2000) != 1) return {};
  const ssize_t n = recv(rx, d.data(), d.size(), 0);
  d.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return d;
}

// The key field: dots, the running passphrase, stored on OK, on the wire a moment later
// without the dialog's thread deriving it, off at once when emptied, and never in the log.
TEST_F(ServerDialogTest, StreamKeyIsShownAsDotsStoredAndInForceWithoutHoldingTheDialog) {
  commontest::LogPlace place;
  ASSERT_TRUE(StartServerSender());
  ServerStreamKey* key = ServerKey();
  ASSERT_NE(key, nullptr);
  ASSERT_TRUE(key->Use(""));
  const int rx = OpenMulticastReceiver("227.0.1.1", 10510);
  ASSERT_NE(rx, INVALID_SOCKET);
  const std::string passphrase = "Klasse 7b, Raum 112";
  BoxCatcher boxes;
  {
    ServerDialog dialog;
    EXPECT_EQ(dialog.stream_key_edit()->echoMode(), QLineEdit::Password);
    EXPECT_EQ(dialog.stream_key_edit()->text(), "");
    dialog.stream_key_edit()->setText(QString::fromStdString(passphrase));
    // Argon2id takes some 60 to 100 ms of CPU, OK without it about 6: the dialog's thread
    // must not run it.
    const double cpu = ThreadCpuMs();
    dialog.OnOK();
    EXPECT_LT(ThreadCpuMs() - cpu, 25.0);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
  }
  EXPECT_EQ(StoredString("StreamKey"), passphrase);
  ASSERT_TRUE(key->WaitIdle(std::chrono::seconds(20)));
  StreamKey derived;
  ASSERT_TRUE(derived.Derive(passphrase.data(), passphrase.size()));
  StreamChecker viewer(std::move(derived));
  std::vector<uint8_t> d = SendAndReceive(rx);
  EXPECT_EQ(d.size(), 20u + kStreamTrailerBytes);
  EXPECT_EQ(viewer.Check(d.data(), d.size(), 0).verdict, StreamVerdict::kAccepted);

  // Shown again as dots; OK without a change keeps the session (nothing is derived).
  {
    ServerDialog dialog;
    EXPECT_EQ(dialog.stream_key_edit()->text().toStdString(), passphrase);
    EXPECT_EQ(dialog.stream_key_edit()->echoMode(), QLineEdit::Password);
    const uint64_t session = key->session();
    dialog.OnOK();
    ASSERT_TRUE(key->WaitIdle(std::chrono::seconds(20)));
    EXPECT_EQ(key->session(), session);
  }
  d = SendAndReceive(rx);
  EXPECT_EQ(viewer.Check(d.data(), d.size(), 0).verdict, StreamVerdict::kAccepted);

  // Emptied: unsigned at once.
  {
    ServerDialog dialog;
    dialog.stream_key_edit()->clear();
    dialog.OnOK();
  }
  EXPECT_EQ(key->session(), 0u);
  EXPECT_EQ(StoredString("StreamKey"), "");
  EXPECT_EQ(SendAndReceive(rx).size(), 20u);
  EXPECT_TRUE(boxes.texts().empty());
  CloseSocket(rx);

  const std::string log = place.Log();
  EXPECT_NE(log.find("Stream key in use"), std::string::npos) << log;
  EXPECT_NE(log.find("Stream key off"), std::string::npos) << log;
  EXPECT_EQ(log.find("Klasse"), std::string::npos) << log;
}

TEST_F(ServerDialogTest, StreamKeyOfAtMost259BytesIsTakenLongerIsRefused) {
  const std::string e = "\xc3\xa9";  // two bytes, one character
  std::string e129, e130;
  for (int i = 0; i < 129; ++i) e129 += e;
  e130 = e129 + e;
  struct Case { std::string text; bool taken; };
  const Case cases[] = {
      {std::string(258, 'k'), true}, {std::string(259, 'k'), true},
      {std::string(260, 'k'), false}, {e129 + "k", true}, {e130, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.size());
    BoxCatcher boxes;
    ServerDialog dialog;
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    const std::optional<std::string> before = StoredString("StreamKey");
    dialog.stream_key_edit()->setText(QString::fromStdString(c.text));
    dialog.OnOK();
    QApplication::processEvents();
    if (c.taken) {
      EXPECT_TRUE(boxes.texts().empty());
      EXPECT_EQ(dialog.result(), QDialog::Accepted);
      EXPECT_EQ(StoredString("StreamKey"), c.text);
      continue;
    }
    ASSERT_EQ(boxes.texts().size(), 1u);
    EXPECT_NE(boxes.texts()[0].find("Stream Key"), std::string::npos) << boxes.texts()[0];
    EXPECT_EQ(dialog.focusWidget(), dialog.stream_key_edit());
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(StoredString("StreamKey"), before);
  }
}

}  // namespace
