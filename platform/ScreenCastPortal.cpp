#include "platform/ScreenCastPortal.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <QVariantMap>

#include "platform/PipeWireScreen.h"

namespace {

const char kService[] = "org.freedesktop.portal.Desktop";
const char kPath[] = "/org/freedesktop/portal/desktop";
const char kScreenCast[] = "org.freedesktop.portal.ScreenCast";
const char kRequest[] = "org.freedesktop.portal.Request";
const char kSession[] = "org.freedesktop.portal.Session";
constexpr unsigned kSourceMonitor = 1;
constexpr unsigned kPersistUntilRevoked = 2;
// persist_mode and restore tokens came with version 4 of the interface.
constexpr unsigned kPersistSinceVersion = 4;

// Waits for the Response signal of one request object.
class ResponseWaiter : public QObject {
  Q_OBJECT

 public:
  bool done = false;
  uint response = 2;
  QVariantMap results;
  QEventLoop loop;

 public slots:
  void OnResponse(uint code, const QVariantMap& answer) {
    done = true;
    response = code;
    results = answer;
    loop.quit();
  }
};

// One exchange with the portal; every failure is noted here, once.
class Exchange {
 public:
  Exchange(int timeout_ms, ScreenNote note)
      : bus_(QDBusConnection::sessionBus()), timeout_(timeout_ms), note_(std::move(note)) {
    // Request objects are made under a path with our unique name, ":1.42" as "1_42".
    sender_ = bus_.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
  }

  bool Connected() {
    if (bus_.isConnected()) return true;
    Note(note_, "No ScreenCast portal: no D-Bus session bus (%s)",
            qUtf8Printable(bus_.lastError().message()));
    return false;
  }

  // A property of the ScreenCast interface; false when it cannot be read.
  bool Property(const char* name, uint* value) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath,
                                                    "org.freedesktop.DBus.Properties", "Get");
    m << QString::fromLatin1(kScreenCast) << QString::fromLatin1(name);
    const QDBusMessage reply = bus_.call(m, QDBus::Block, timeout_);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      Note(note_, "No ScreenCast portal on the session bus: %s",
              qUtf8Printable(reply.errorMessage()));
      return false;
    }
    *value = reply.arguments().at(0).value<QDBusVariant>().variant().toUInt();
    return true;
  }

  // Calls a method that answers through a Request object and waits for its Response.
  // what names the step in the log. True only for response 0.
  bool Request(const char* method, QList<QVariant> args, QVariantMap options, const char* what,
               QVariantMap* results) {
    const QString token = QStringLiteral("orvane%1").arg(++requests_);
    options.insert(QStringLiteral("handle_token"), token);
    args << options;
    // Listened to before the call: a quick portal answers before its reply reaches us.
    QString path = QStringLiteral("%1/request/%2/%3").arg(kPath, sender_, token);
    ResponseWaiter waiter;
    Listen(path, &waiter, true);
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
    m.setArguments(args);
    const QDBusMessage reply = bus_.call(m, QDBus::Block, timeout_);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      Listen(path, &waiter, false);
      Note(note_, "The ScreenCast portal refused %s: %s", what,
              qUtf8Printable(reply.errorMessage()));
      return false;
    }
    // Portals before version 0.9 chose the path themselves.
    const QString given = reply.arguments().at(0).value<QDBusObjectPath>().path();
    if (!given.isEmpty() && given != path) {
      Listen(path, &waiter, false);
      path = given;
      Listen(path, &waiter, true);
    }
    if (!waiter.done) {
      QTimer::singleShot(timeout_, &waiter.loop, &QEventLoop::quit);
      waiter.loop.exec();
    }
    Listen(path, &waiter, false);
    if (!waiter.done) {
      Note(note_, "The ScreenCast portal did not answer %s within %d ms", what, timeout_);
      Close(path, kRequest);
      return false;
    }
    if (waiter.response != 0) {
      Note(note_, "The ScreenCast portal refused %s: %s (response %u)", what,
              PortalResponseText(waiter.response), waiter.response);
      return false;
    }
    *results = waiter.results;
    return true;
  }

  // A plain method call with one result.
  bool Call(const char* method, QList<QVariant> args, const char* what, QVariant* result) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
    m.setArguments(args);
    const QDBusMessage reply = bus_.call(m, QDBus::Block, timeout_);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
      Note(note_, "The ScreenCast portal refused %s: %s", what,
              qUtf8Printable(reply.errorMessage()));
      return false;
    }
    *result = reply.arguments().at(0);
    return true;
  }

  void Close(const QString& path, const char* interface) {
    bus_.call(QDBusMessage::createMethodCall(kService, path, interface, "Close"),
              QDBus::NoBlock);
  }

  QString session_token() { return QStringLiteral("orvane_session%1").arg(getpid()); }

 private:
  void Listen(const QString& path, ResponseWaiter* waiter, bool on) {
    if (on)
      bus_.connect(kService, path, kRequest, "Response", waiter,
                   SLOT(OnResponse(uint, QVariantMap)));
    else
      bus_.disconnect(kService, path, kRequest, "Response", waiter,
                      SLOT(OnResponse(uint, QVariantMap)));
  }

  QDBusConnection bus_;
  const int timeout_;
  const ScreenNote note_;
  QString sender_;
  int requests_ = 0;
};

// session_handle is a string in the documentation and an object path in some portals.
QString PathOf(const QVariant& v) {
  if (v.userType() == qMetaTypeId<QDBusObjectPath>()) return v.value<QDBusObjectPath>().path();
  return v.toString();
}

// What Start answered: the first stream (node id and size) and the token to keep.
struct Started {
  uint node = 0;
  int width = 0, height = 0;
  QString restore_token;
};

bool ReadStarted(const QVariantMap& results, Started* out) {
  out->restore_token = results.value(QStringLiteral("restore_token")).toString();
  const QVariant streams = results.value(QStringLiteral("streams"));
  if (!streams.canConvert<QDBusArgument>()) return false;
  // a(ua{sv}): node id and its properties, one entry per chosen source.
  const QDBusArgument list = streams.value<QDBusArgument>();
  bool found = false;
  list.beginArray();
  while (!list.atEnd()) {
    uint node = 0;
    QVariantMap properties;
    list.beginStructure();
    list >> node >> properties;
    list.endStructure();
    if (found) continue;  // one monitor was asked for; any other is ignored
    found = true;
    out->node = node;
    const QVariant size = properties.value(QStringLiteral("size"));
    if (size.canConvert<QDBusArgument>()) {
      const QDBusArgument pair = size.value<QDBusArgument>();
      pair.beginStructure();
      pair >> out->width >> out->height;
      pair.endStructure();
    }
  }
  list.endArray();
  return found;
}

// The stream, and the portal session that keeps it open.
class PortalScreen final : public ScreenSource {
 public:
  PortalScreen(std::unique_ptr<ScreenSource> stream, QString session)
      : stream_(std::move(stream)), session_(std::move(session)) {}
  ~PortalScreen() override {
    stream_.reset();
    QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(kService, session_, kSession, "Close"), QDBus::NoBlock);
  }
  Rect ClipBox() override { return stream_->ClipBox(); }
  int BitsPerPixel() override { return stream_->BitsPerPixel(); }
  bool Capture(const Rect& r, uint8_t* out, std::size_t stride) override {
    return stream_->Capture(r, out, stride);
  }
  bool PointerPosition(int32_t* x, int32_t* y) override { return stream_->PointerPosition(x, y); }
  bool ReportsChanges() const override { return true; }

 private:
  std::unique_ptr<ScreenSource> stream_;
  const QString session_;
};

}  // namespace

unsigned ChooseCursorMode(unsigned available) {
  if (available & kCursorMetadata) return kCursorMetadata;
  if (available & kCursorEmbedded) return kCursorEmbedded;
  if (available & kCursorHidden) return kCursorHidden;
  return 0;
}

const char* PortalResponseText(unsigned response) {
  switch (response) {
    case 0: return "granted";
    case 1: return "cancelled by the user";
    default: return "ended by the portal";
  }
}

std::unique_ptr<ScreenSource> OpenPortalScreen(const PortalOptions& options,
                                               ScreenChangeSink sink) {
  if (!QCoreApplication::instance()) {
    Note(options.note, "The ScreenCast portal needs the application's event loop");
    return nullptr;
  }
  Exchange portal(options.answer_timeout_ms, options.note);
  uint version = 0, sources = 0, cursors = 0;
  if (!portal.Connected() || !portal.Property("version", &version) ||
      !portal.Property("AvailableSourceTypes", &sources) ||
      !portal.Property("AvailableCursorModes", &cursors))
    return nullptr;
  if (!(sources & kSourceMonitor)) {
    Note(options.note, "The ScreenCast portal offers no monitors (source types %u)", sources);
    return nullptr;
  }

  // 1. CreateSession.
  QVariantMap results;
  QVariantMap create{{QStringLiteral("session_handle_token"), portal.session_token()}};
  if (!portal.Request("CreateSession", {}, create, "CreateSession", &results)) return nullptr;
  const QString session = PathOf(results.value(QStringLiteral("session_handle")));
  if (session.isEmpty()) {
    Note(options.note, "The ScreenCast portal gave no session");
    return nullptr;
  }
  const QDBusObjectPath session_path(session);
  // From here on a failure closes the session, so that the portal forgets it at once.
  struct Closer {
    Exchange& portal;
    const QString& session;
    bool armed = true;
    ~Closer() {
      if (armed) portal.Close(session, kSession);
    }
  } closer{portal, session};

  // 2. SelectSources: one monitor, the pointer as metadata, remembered until revoked.
  const unsigned cursor_mode = ChooseCursorMode(cursors);
  QVariantMap select{{QStringLiteral("types"), kSourceMonitor},
                     {QStringLiteral("multiple"), false}};
  if (cursor_mode) select.insert(QStringLiteral("cursor_mode"), cursor_mode);
  if (version >= kPersistSinceVersion) {
    select.insert(QStringLiteral("persist_mode"), kPersistUntilRevoked);
    if (!options.restore_token.empty())
      select.insert(QStringLiteral("restore_token"),
                    QString::fromStdString(options.restore_token));
  }
  if (!portal.Request("SelectSources", {QVariant::fromValue(session_path)}, select,
                      "SelectSources (the choice of a monitor)", &results))
    return nullptr;

  // 3. Start: where the user is asked, unless the token spoke for them.
  if (!portal.Request("Start", {QVariant::fromValue(session_path), QString()}, {},
                      "Start (sharing the screen)", &results))
    return nullptr;
  Started started;
  if (!ReadStarted(results, &started)) {
    Note(options.note, "The ScreenCast portal started no stream");
    return nullptr;
  }
  if (!started.restore_token.isEmpty() && options.keep_token)
    options.keep_token(started.restore_token.toStdString());

  // 4. OpenPipeWireRemote: a connection to PipeWire that may see the chosen node.
  QVariant remote;
  if (!portal.Call("OpenPipeWireRemote", {QVariant::fromValue(session_path), QVariantMap()},
                   "OpenPipeWireRemote", &remote))
    return nullptr;
  const int fd = dup(remote.value<QDBusUnixFileDescriptor>().fileDescriptor());
  if (fd < 0) {
    Note(options.note, "The ScreenCast portal gave no PipeWire remote");
    return nullptr;
  }

  PipeWireStreamOptions stream;
  stream.remote_fd = fd;
  stream.node = started.node;
  stream.width_hint = started.width;
  stream.height_hint = started.height;
  stream.first_frame_timeout_ms = options.first_frame_timeout_ms;
  stream.note = options.note;
  auto screen = OpenPipeWireScreen(stream, std::move(sink));
  if (!screen) return nullptr;
  closer.armed = false;
  Note(options.note, "Screen read through the ScreenCast portal (PipeWire node %u, pointer %s)",
          started.node,
          cursor_mode == kCursorMetadata   ? "as metadata"
          : cursor_mode == kCursorEmbedded ? "drawn into the picture"
                                           : "not shown");
  return std::make_unique<PortalScreen>(std::move(screen), session);
}

#include "ScreenCastPortal.moc"
