// orvane-test-portal: a ScreenCast portal of the tests' own on a private session bus. It
// owns org.freedesktop.portal.Desktop and answers as a desktop's portal does: every request
// gets a Request object whose Response signal carries the answer, sessions are objects that
// can be closed, restore tokens are kept (each used once, as the portals do) and a start
// that presents a known one is not asked about; OpenPipeWireRemote hands out a connection to
// the session's PipeWire daemon. Only the person clicking "Share" is faked: unless told to
// refuse, the monitor is shared.
//
//   orvane-test-portal --node ID [--size WxH] [--log FILE] [--refuse STEP:CODE]
//                      [--silent STEP] [--cursor-modes BITS] [--version N]
//
// STEP is create, select or start; CODE the response (1 cancelled by the user, 2 other);
// --silent never answers that step (a person who never clicks).
// The log gets one line per event: "create", "select KEY=VALUE...", "ask", "restore TOKEN",
// "start RESPONSE TOKEN", "remote", "close session", "close request".
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QFile>
#include <QRandomGenerator>
#include <QSet>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct PortalStream {
  uint node = 0;
  QVariantMap properties;
};
Q_DECLARE_METATYPE(PortalStream)

struct PortalSize {
  int width = 0, height = 0;
};
Q_DECLARE_METATYPE(PortalSize)

QDBusArgument& operator<<(QDBusArgument& a, const PortalStream& s) {
  a.beginStructure();
  a << s.node << s.properties;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, PortalStream& s) {
  a.beginStructure();
  a >> s.node >> s.properties;
  a.endStructure();
  return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const PortalSize& s) {
  a.beginStructure();
  a << s.width << s.height;
  a.endStructure();
  return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, PortalSize& s) {
  a.beginStructure();
  a >> s.width >> s.height;
  a.endStructure();
  return a;
}

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");

// a{sv} arguments reach a virtual object undemarshalled.
QVariantMap Options(const QVariant& v) {
  if (v.canConvert<QDBusArgument>()) return qdbus_cast<QVariantMap>(v.value<QDBusArgument>());
  return v.toMap();
}

struct Settings {
  uint node = 0;
  int width = 640, height = 480;
  QString log;
  QString refuse_step;
  QString silent_step;
  uint refuse_code = 0;
  uint cursor_modes = 7;
  uint version = 4;
};

class Portal : public QDBusVirtualObject {
 public:
  Portal(QDBusConnection bus, Settings settings) : bus_(bus), s_(std::move(settings)) {}

  QString introspect(const QString&) const override { return QString(); }

  bool handleMessage(const QDBusMessage& m, const QDBusConnection&) override {
    const QString member = m.member();
    if (m.interface() == QLatin1String("org.freedesktop.DBus.Properties") &&
        member == QLatin1String("Get")) {
      const QString name = m.arguments().value(1).toString();
      uint value = name == QLatin1String("version")                ? s_.version
                   : name == QLatin1String("AvailableSourceTypes") ? 1u
                   : name == QLatin1String("AvailableCursorModes") ? s_.cursor_modes
                                                                   : 0u;
      Reply(m, {QVariant::fromValue(QDBusVariant(value))});
      return true;
    }
    if (m.interface() == QLatin1String("org.freedesktop.portal.Session") &&
        member == QLatin1String("Close")) {
      Log(QStringLiteral("close session"));
      sessions_.remove(m.path());
      Reply(m, {});
      return true;
    }
    if (m.interface() == QLatin1String("org.freedesktop.portal.Request")) {
      Log(QStringLiteral("close request"));
      Reply(m, {});
      return true;
    }
    if (m.interface() != QLatin1String("org.freedesktop.portal.ScreenCast")) return false;
    if (member == QLatin1String("CreateSession")) return CreateSession(m);
    if (member == QLatin1String("SelectSources")) return SelectSources(m);
    if (member == QLatin1String("Start")) return Start(m);
    if (member == QLatin1String("OpenPipeWireRemote")) return OpenRemote(m);
    return false;
  }

 private:
  // Request and session objects live under a path made of the caller's unique name.
  static QString Caller(const QDBusMessage& m) {
    return m.service().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
  }
  QString RequestPath(const QDBusMessage& m, const QVariantMap& options) {
    return QStringLiteral("%1/request/%2/%3")
        .arg(kPath, Caller(m), options.value(QStringLiteral("handle_token")).toString());
  }

  void Reply(const QDBusMessage& m, const QList<QVariant>& args) {
    QDBusMessage reply = m.createReply();
    reply.setArguments(args);
    bus_.send(reply);
  }
  void Error(const QDBusMessage& m, const char* text) {
    bus_.send(m.createErrorReply(QStringLiteral("org.freedesktop.portal.Error.InvalidArgument"),
                                 QString::fromLatin1(text)));
  }
  // The reply first, the Response after it, as the portals send them.
  void Respond(const QDBusMessage& m, const QString& request, uint code, QVariantMap results) {
    Reply(m, {QVariant::fromValue(QDBusObjectPath(request))});
    if (s_.silent_step == Step(m.member())) return;
    QDBusMessage signal = QDBusMessage::createSignal(
        request, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
    signal << code << results;
    bus_.send(signal);
  }
  static QString Step(const QString& member) {
    if (member == QLatin1String("CreateSession")) return QStringLiteral("create");
    if (member == QLatin1String("SelectSources")) return QStringLiteral("select");
    return QStringLiteral("start");
  }
  uint Refusal(const char* step) const {
    return s_.refuse_step == QLatin1String(step) ? s_.refuse_code : 0;
  }
  void Log(const QString& line) {
    if (s_.log.isEmpty()) return;
    QFile f(s_.log);
    if (f.open(QIODevice::Append)) f.write((line + QLatin1Char('\n')).toUtf8());
  }

  bool CreateSession(const QDBusMessage& m) {
    const QVariantMap options = Options(m.arguments().value(0));
    const QString token = options.value(QStringLiteral("session_handle_token")).toString();
    const QString session = QStringLiteral("%1/session/%2/%3").arg(kPath, Caller(m), token);
    Log(QStringLiteral("create"));
    const uint code = Refusal("create");
    if (code == 0) sessions_.insert(session, Session{});
    Respond(m, RequestPath(m, options), code,
            code ? QVariantMap() : QVariantMap{{QStringLiteral("session_handle"), session}});
    return true;
  }

  bool SelectSources(const QDBusMessage& m) {
    const QString session = m.arguments().value(0).value<QDBusObjectPath>().path();
    const QVariantMap options = Options(m.arguments().value(1));
    if (!sessions_.contains(session)) {
      Error(m, "no such session");
      return true;
    }
    QStringList seen;
    for (const char* key : {"types", "multiple", "cursor_mode", "persist_mode", "restore_token"})
      if (options.contains(QLatin1String(key)))
        seen << QStringLiteral("%1=%2").arg(QLatin1String(key),
                                            options.value(QLatin1String(key)).toString());
    Log(QStringLiteral("select ") + seen.join(QLatin1Char(' ')));
    Session& s = sessions_[session];
    s.restore_token = options.value(QStringLiteral("restore_token")).toString();
    s.persist = options.value(QStringLiteral("persist_mode")).toUInt();
    s.selected = true;
    Respond(m, RequestPath(m, options), Refusal("select"), {});
    return true;
  }

  bool Start(const QDBusMessage& m) {
    const QString session = m.arguments().value(0).value<QDBusObjectPath>().path();
    const QVariantMap options = Options(m.arguments().value(2));
    if (!sessions_.contains(session) || !sessions_[session].selected) {
      Error(m, "no sources selected");
      return true;
    }
    Session& s = sessions_[session];
    // A known token speaks for the user, once; anything else asks.
    if (!s.restore_token.isEmpty() && tokens_.remove(s.restore_token)) {
      Log(QStringLiteral("restore ") + s.restore_token);
    } else {
      Log(QStringLiteral("ask"));
    }
    const uint code = Refusal("start");
    QVariantMap results;
    if (code == 0) {
      PortalStream stream;
      stream.node = s_.node;
      stream.properties.insert(QStringLiteral("source_type"), 1u);
      stream.properties.insert(QStringLiteral("size"),
                               QVariant::fromValue(PortalSize{s_.width, s_.height}));
      stream.properties.insert(QStringLiteral("position"), QVariant::fromValue(PortalSize{0, 0}));
      results.insert(QStringLiteral("streams"), QVariant::fromValue(QList<PortalStream>{stream}));
      if (s.persist != 0) {
        const QString token = QStringLiteral("token-%1").arg(
            QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0'));
        tokens_.insert(token);
        results.insert(QStringLiteral("restore_token"), token);
      }
      s.started = true;
    }
    Log(QStringLiteral("start %1 %2").arg(code).arg(
        results.value(QStringLiteral("restore_token")).toString()));
    Respond(m, RequestPath(m, options), code, results);
    return true;
  }

  bool OpenRemote(const QDBusMessage& m) {
    const QString session = m.arguments().value(0).value<QDBusObjectPath>().path();
    if (!sessions_.contains(session) || !sessions_[session].started) {
      Error(m, "session not started");
      return true;
    }
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    const QByteArray path = QByteArray(std::getenv("XDG_RUNTIME_DIR")) + "/" +
                            (remote && *remote ? remote : "pipewire-0");
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.constData());
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      if (fd >= 0) close(fd);
      Error(m, "no PipeWire daemon");
      return true;
    }
    Log(QStringLiteral("remote"));
    Reply(m, {QVariant::fromValue(QDBusUnixFileDescriptor(fd))});
    close(fd);  // the message holds its own copy
    return true;
  }

  struct Session {
    QString restore_token;
    uint persist = 0;
    bool selected = false, started = false;
  };
  QDBusConnection bus_;
  const Settings s_;
  QMap<QString, Session> sessions_;
  QSet<QString> tokens_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  qDBusRegisterMetaType<PortalStream>();
  qDBusRegisterMetaType<QList<PortalStream>>();
  qDBusRegisterMetaType<PortalSize>();
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const QString key = QString::fromLocal8Bit(argv[i]);
    const QString value = QString::fromLocal8Bit(argv[i + 1]);
    if (key == QLatin1String("--node")) s.node = value.toUInt();
    if (key == QLatin1String("--size")) {
      s.width = value.section(QLatin1Char('x'), 0, 0).toInt();
      s.height = value.section(QLatin1Char('x'), 1, 1).toInt();
    }
    if (key == QLatin1String("--log")) s.log = value;
    if (key == QLatin1String("--refuse")) {
      s.refuse_step = value.section(QLatin1Char(':'), 0, 0);
      s.refuse_code = value.section(QLatin1Char(':'), 1, 1).toUInt();
    }
    if (key == QLatin1String("--silent")) s.silent_step = value;
    if (key == QLatin1String("--cursor-modes")) s.cursor_modes = value.toUInt();
    if (key == QLatin1String("--version")) s.version = value.toUInt();
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  Portal portal(bus, s);
  if (!bus.registerVirtualObject(kPath, &portal, QDBusConnection::SubPath) ||
      !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
    std::fprintf(stderr, "orvane-test-portal: cannot own the portal's name: %s\n",
                 qUtf8Printable(bus.lastError().message()));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return app.exec();
}
