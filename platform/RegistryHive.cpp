#include "platform/RegistryHive.h"

#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/LastError.h"

// Layout of a hive file. Key 1 is the hive's root; every other key names its parent. Names are
// compared with NOCASE, which folds ASCII only, as the registry does. AUTOINCREMENT keeps a
// deleted key's id from being handed to a new key while another handle still holds it.
//   keys(id, parent, name, class)   vals(key, name, type, data)
// application_id marks the file as ours; user_version is the layout's version.

namespace {

constexpr int kAppId = 0x4F52474B;  // "ORGK"
constexpr int kLayoutVersion = 1;
constexpr sqlite3_int64 kRootId = 1;
constexpr size_t kMaxKeyName = 255;  // the Windows limits the programs were written for
constexpr size_t kMaxDepth = 512;

int Fail(int code) {
  SetLastError(code);
  return code;
}

int FromSqlite(sqlite3* db, int rc) {
  // A file the system refused (rights, missing folder) says more through errno.
  if (db && (rc & 0xff) == SQLITE_CANTOPEN) {
    int sys = sqlite3_system_errno(db);
    if (sys > 0) return Fail(sys);
  }
  return Fail(SqliteError(rc & 0xff));
}

class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) : db_(db) {
    rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr);
  }
  ~Stmt() { sqlite3_finalize(stmt_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  int prepared() const { return rc_; }
  Stmt& Bind(int i, sqlite3_int64 v) {
    if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int64(stmt_, i, v);
    return *this;
  }
  Stmt& Bind(int i, std::string_view text) {
    if (rc_ == SQLITE_OK)
      rc_ = sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
    return *this;
  }
  Stmt& BindBlob(int i, const void* data, uint32_t length) {
    if (rc_ != SQLITE_OK) return *this;
    // A NULL blob would break the NOT NULL column; an empty value is a zero-length blob.
    rc_ = length == 0 ? sqlite3_bind_zeroblob(stmt_, i, 0)
                      : sqlite3_bind_blob(stmt_, i, data, static_cast<int>(length),
                                          SQLITE_TRANSIENT);
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int Step() {
    if (rc_ != SQLITE_OK) return rc_;
    return sqlite3_step(stmt_);
  }
  sqlite3_int64 Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) const {
    const unsigned char* t = sqlite3_column_text(stmt_, col);
    return t ? std::string(reinterpret_cast<const char*>(t),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
             : std::string();
  }
  const void* Blob(int col) const { return sqlite3_column_blob(stmt_, col); }
  uint32_t Bytes(int col) const { return static_cast<uint32_t>(sqlite3_column_bytes(stmt_, col)); }

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int rc_;
};

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// One transaction; rolled back unless committed.
class Txn {
 public:
  explicit Txn(sqlite3* db) : db_(db) {}
  ~Txn() {
    if (open_) Exec(db_, "ROLLBACK");
  }
  Txn(const Txn&) = delete;
  Txn& operator=(const Txn&) = delete;
  // Writers take the write lock at once, so that a busy hive waits in the busy handler here
  // instead of failing half-way with a lock that cannot be upgraded.
  int Begin(bool write) {
    int rc = Exec(db_, write ? "BEGIN IMMEDIATE" : "BEGIN");
    open_ = rc == SQLITE_OK;
    return rc;
  }
  int Commit() {
    int rc = Exec(db_, "COMMIT");
    if (rc == SQLITE_OK) open_ = false;
    return rc;
  }

 private:
  sqlite3* db_;
  bool open_ = false;
};

// Splits a key path at its backslashes. An empty path is the start key itself; an empty
// component, an over-long name or too deep a path is refused.
int SplitPath(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  if (path.empty()) return 0;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string part = path.substr(start, end == std::string::npos ? std::string::npos
                                                                    : end - start);
    if (part.empty()) return EINVAL;
    if (part.size() > kMaxKeyName) return ENAMETOOLONG;
    parts.push_back(std::move(part));
    if (parts.size() > kMaxDepth) return ENAMETOOLONG;
    if (end == std::string::npos) return 0;
    start = end + 1;
  }
}

// 0, kRegMissing or an SQLite code (as SqliteError).
int FindChild(sqlite3* db, sqlite3_int64 parent, const std::string& name, sqlite3_int64* id) {
  Stmt s(db, "SELECT id FROM keys WHERE parent = ? AND name = ?");
  s.Bind(1, parent).Bind(2, name);
  int rc = s.Step();
  if (rc == SQLITE_ROW) {
    *id = s.Int(0);
    return 0;
  }
  return rc == SQLITE_DONE ? kRegMissing : SqliteError(rc & 0xff);
}

int Resolve(sqlite3* db, sqlite3_int64 start, const std::vector<std::string>& parts,
            sqlite3_int64* id) {
  sqlite3_int64 at = start;
  for (const std::string& part : parts) {
    int rc = FindChild(db, at, part, &at);
    if (rc) return rc;
  }
  *id = at;
  return 0;
}

int CreatePath(sqlite3* db, const std::vector<std::string>& parts, const char* cls,
               sqlite3_int64* id) {
  sqlite3_int64 at = kRootId;
  for (const std::string& part : parts) {
    int rc = FindChild(db, at, part, &at);
    if (rc == kRegMissing) {
      Stmt s(db, "INSERT INTO keys(parent, name, class) VALUES(?, ?, ?)");
      s.Bind(1, at).Bind(2, part).Bind(3, cls ? cls : "");
      int step = s.Step();
      if (step != SQLITE_DONE) return SqliteError(step & 0xff);
      at = sqlite3_last_insert_rowid(db);
    } else if (rc) {
      return rc;
    }
  }
  *id = at;
  return 0;
}

int KeyExists(sqlite3* db, sqlite3_int64 id) {
  Stmt s(db, "SELECT 1 FROM keys WHERE id = ?");
  s.Bind(1, id);
  int rc = s.Step();
  if (rc == SQLITE_ROW) return 0;
  return rc == SQLITE_DONE ? kRegMissing : SqliteError(rc & 0xff);
}

int PutValue(sqlite3* db, sqlite3_int64 key, const char* name, uint32_t type, const void* data,
             uint32_t length) {
  // The upsert keeps the stored name, so a value keeps the case of its first write.
  Stmt s(db,
         "INSERT INTO vals(key, name, type, data) VALUES(?, ?, ?, ?) "
         "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
  s.Bind(1, key).Bind(2, name ? name : "").Bind(3, static_cast<sqlite3_int64>(type));
  s.BindBlob(4, data, length);
  int rc = s.Step();
  return rc == SQLITE_DONE ? 0 : SqliteError(rc & 0xff);
}

int SeedText(sqlite3* db, const char* path, const char* name, uint32_t type,
             const std::string& text) {
  std::vector<std::string> parts;
  sqlite3_int64 id = 0;
  int rc = SplitPath(path, parts);
  if (!rc) rc = CreatePath(db, parts, "", &id);
  if (!rc) rc = PutValue(db, id, name, type, text.c_str(), static_cast<uint32_t>(text.size() + 1));
  return rc;
}

bool AbsoluteEnv(const char* name, std::string& value) {
  const char* v = getenv(name);
  if (!v || v[0] != '/') return false;  // relative XDG paths are to be ignored
  value = v;
  return true;
}

std::string HomeFolder() {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  struct passwd pw, *found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
    return found->pw_dir;
  return "/";
}

// The platform's own keys that the installer reads, as a fresh Windows installation has them.
int Seed(sqlite3* db, Hive hive) {
  const bool root = geteuid() == 0;
  if (hive == Hive::LocalMachine) {
    int rc = SeedText(db, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir",
                      REG_EXPAND_SZ, root ? "/opt" : "%HOME%/.local/opt");
    if (rc || !root) return rc;
    return SeedText(db, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Folders",
                    "Common Programs", REG_SZ, "/usr/share/applications");
  }
  std::string data;
  const char* shell = "Software\\Microsoft\\Windows\\CurrentVersion\\explorer\\Shell Folders";
  if (AbsoluteEnv("XDG_DATA_HOME", data))
    return SeedText(db, shell, "Programs", REG_SZ, data + "/applications");
  return SeedText(db, shell, "Programs", REG_EXPAND_SZ, "%HOME%/.local/share/applications");
}

int Initialise(sqlite3* db, Hive hive) {
  // WAL lets readers go on while one process writes; it must be set outside a transaction.
  Exec(db, "PRAGMA journal_mode = WAL");
  Txn txn(db);
  int rc = txn.Begin(true);
  if (rc != SQLITE_OK) return SqliteError(rc & 0xff);
  // Another process may have set the file up while this one waited for the lock.
  Stmt version(db, "PRAGMA user_version");
  rc = version.Step();
  if (rc != SQLITE_ROW) return SqliteError(rc & 0xff);
  if (version.Int(0) == kLayoutVersion) return 0;
  static const char kSchema[] =
      "CREATE TABLE keys(id INTEGER PRIMARY KEY AUTOINCREMENT, parent INTEGER NOT NULL,"
      " name TEXT NOT NULL COLLATE NOCASE, class TEXT NOT NULL DEFAULT '',"
      " UNIQUE(parent, name));"
      "CREATE TABLE vals(key INTEGER NOT NULL, name TEXT NOT NULL COLLATE NOCASE,"
      " type INTEGER NOT NULL, data BLOB NOT NULL, PRIMARY KEY(key, name)) WITHOUT ROWID;"
      "INSERT INTO keys(id, parent, name, class) VALUES(1, 0, '', '');";
  rc = Exec(db, kSchema);
  if (rc != SQLITE_OK) return SqliteError(rc & 0xff);
  if ((rc = Seed(db, hive))) return rc;
  std::string mark = "PRAGMA application_id = " + std::to_string(kAppId) +
                     "; PRAGMA user_version = " + std::to_string(kLayoutVersion);
  rc = Exec(db, mark.c_str());
  if (rc == SQLITE_OK) rc = txn.Commit();
  return rc == SQLITE_OK ? 0 : SqliteError(rc & 0xff);
}

int ReadMark(sqlite3* db, const char* pragma, sqlite3_int64* value) {
  Stmt s(db, pragma);
  int rc = s.Step();
  if (rc != SQLITE_ROW) return rc;
  *value = s.Int(0);
  return SQLITE_OK;
}

// Checks that the file is a hive (setting up an empty one), so that a foreign or damaged file
// fails here and not half-way through an operation.
int Prepare(sqlite3* db, Hive hive) {
  sqlite3_int64 app = 0, version = 0, tables = 0;
  {
    // One snapshot for all three reads: another process may commit a fresh hive's set-up
    // between them, and mixed answers would make a good file look foreign.
    Txn snapshot(db);
    int rc = snapshot.Begin(false);
    if (rc == SQLITE_OK) rc = ReadMark(db, "PRAGMA application_id", &app);
    if (rc == SQLITE_OK) rc = ReadMark(db, "PRAGMA user_version", &version);
    if (rc == SQLITE_OK) rc = ReadMark(db, "SELECT count(*) FROM sqlite_master", &tables);
    if (rc != SQLITE_OK) return FromSqlite(db, rc);
  }
  if (app == kAppId && version == kLayoutVersion) return 0;
  // A file of another program is not taken over; only an empty one becomes a hive.
  if (app != 0 || version != 0 || tables != 0) return Fail(SqliteError(SQLITE_NOTADB));
  const int rc = Initialise(db, hive);
  return rc ? Fail(rc) : 0;
}

int MakeFolders(const std::string& folder) {
  struct stat st;
  if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  size_t cut = folder.find_last_of('/');
  if (cut != std::string::npos && cut > 0) {
    int rc = MakeFolders(folder.substr(0, cut));
    if (rc) return rc;
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

int OpenHive(Hive hive, sqlite3** out) {
  *out = nullptr;
  int rc = MakeFolders(RegistryFolder());
  if (rc) return Fail(rc);
  sqlite3* db = nullptr;
  rc = sqlite3_open_v2(HiveFile(hive).c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                       nullptr);
  if (rc != SQLITE_OK) {
    int code = FromSqlite(db, rc);
    sqlite3_close_v2(db);
    return code;
  }
  // SQLite quietly opens a file it may not write read-only; a key must be writable.
  if (sqlite3_db_readonly(db, "main") == 1) {
    sqlite3_close_v2(db);
    return Fail(EACCES);
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_extended_result_codes(db, 0);
  rc = Prepare(db, hive);
  if (rc) {
    sqlite3_close_v2(db);
    return rc;
  }
  Exec(db, "PRAGMA synchronous = NORMAL");  // durable across crashes of programs in WAL mode
  *out = db;
  return 0;
}

}  // namespace

struct RegKeyState {
  sqlite3* db = nullptr;
  sqlite3_int64 id = 0;
  ~RegKeyState() { sqlite3_close_v2(db); }
};

namespace {
// Begins a transaction on the key's hive and checks that the key still exists (another handle
// may have deleted it). 0, or the cause, already set as the last error.
int BeginOnKey(const RegKeyState& key, Txn& txn, bool write) {
  int rc = txn.Begin(write);
  if (rc != SQLITE_OK) return FromSqlite(key.db, rc);
  if ((rc = KeyExists(key.db, key.id))) return Fail(rc);
  return 0;
}
}  // namespace

RegKey::RegKey() = default;
RegKey::~RegKey() = default;
RegKey::RegKey(RegKey&&) noexcept = default;
RegKey& RegKey::operator=(RegKey&&) noexcept = default;

bool RegKey::valid() const { return state_ != nullptr; }

int RegKey::Close() {
  if (!state_) return Fail(EBADF);
  state_.reset();
  return 0;
}

namespace {
int OpenOrCreate(Hive hive, const std::string& path, const char* cls, bool create,
                 std::unique_ptr<RegKeyState>& out) {
  std::vector<std::string> parts;
  int rc = SplitPath(path, parts);
  if (rc) return Fail(rc);
  auto state = std::make_unique<RegKeyState>();
  if ((rc = OpenHive(hive, &state->db))) return rc;
  Txn txn(state->db);
  rc = txn.Begin(create);
  if (rc != SQLITE_OK) return FromSqlite(state->db, rc);
  rc = create ? CreatePath(state->db, parts, cls, &state->id)
              : Resolve(state->db, kRootId, parts, &state->id);
  if (rc) return Fail(rc);
  rc = txn.Commit();
  if (rc != SQLITE_OK) return FromSqlite(state->db, rc);
  out = std::move(state);
  return 0;
}
}  // namespace

int RegKey::Create(Hive hive, const std::string& path, const char* cls, RegKey& out) {
  out.state_.reset();
  return OpenOrCreate(hive, path, cls, true, out.state_);
}

int RegKey::Open(Hive hive, const std::string& path, RegKey& out) {
  out.state_.reset();
  return OpenOrCreate(hive, path, nullptr, false, out.state_);
}

int RegKey::QueryValue(const char* name, uint32_t* type, void* data, uint32_t* length) const {
  if (!state_) return Fail(EBADF);
  if (data && !length) return Fail(EINVAL);
  sqlite3* db = state_->db;
  Txn txn(db);
  int rc = BeginOnKey(*state_, txn, false);
  if (rc) return rc;
  Stmt s(db, "SELECT type, data FROM vals WHERE key = ? AND name = ?");
  s.Bind(1, state_->id).Bind(2, name ? name : "");
  rc = s.Step();
  if (rc == SQLITE_DONE) return Fail(kRegMissing);
  if (rc != SQLITE_ROW) return FromSqlite(db, rc);
  const void* blob = s.Blob(1);
  const uint32_t size = s.Bytes(1);
  if (type) *type = static_cast<uint32_t>(s.Int(0));
  if (data) {
    if (size > *length) {
      *length = size;
      return Fail(kRegMoreData);
    }
    if (size) memcpy(data, blob, size);
  }
  if (length) *length = size;
  return 0;
}

int RegKey::SetValue(const char* name, uint32_t type, const void* data, uint32_t length) {
  if (!state_) return Fail(EBADF);
  if (length && !data) return Fail(EINVAL);
  if (length > static_cast<uint32_t>(INT32_MAX)) return Fail(EFBIG);  // SQLite counts in int
  sqlite3* db = state_->db;
  Txn txn(db);
  int rc = BeginOnKey(*state_, txn, true);
  if (rc) return rc;
  if ((rc = PutValue(db, state_->id, name, type, data, length))) return Fail(rc);
  rc = txn.Commit();
  return rc == SQLITE_OK ? 0 : FromSqlite(db, rc);
}

int RegKey::DeleteValue(const char* name) {
  if (!state_) return Fail(EBADF);
  sqlite3* db = state_->db;
  Txn txn(db);
  int rc = BeginOnKey(*state_, txn, true);
  if (rc) return rc;
  Stmt s(db, "DELETE FROM vals WHERE key = ? AND name = ?");
  s.Bind(1, state_->id).Bind(2, name ? name : "");
  rc = s.Step();
  if (rc != SQLITE_DONE) return FromSqlite(db, rc);
  if (sqlite3_changes(db) == 0) return Fail(kRegMissing);
  rc = txn.Commit();
  return rc == SQLITE_OK ? 0 : FromSqlite(db, rc);
}

int RegKey::EnumKey(uint32_t index, std::string& name) const {
  if (!state_) return Fail(EBADF);
  sqlite3* db = state_->db;
  Txn txn(db);
  int rc = BeginOnKey(*state_, txn, false);
  if (rc) return rc;
  Stmt s(db, "SELECT name FROM keys WHERE parent = ? ORDER BY name LIMIT 1 OFFSET ?");
  s.Bind(1, state_->id).Bind(2, static_cast<sqlite3_int64>(index));
  rc = s.Step();
  if (rc == SQLITE_DONE) return Fail(kRegNoMoreItems);
  if (rc != SQLITE_ROW) return FromSqlite(db, rc);
  name = s.Text(0);
  return 0;
}

int RegKey::EnumValue(uint32_t index, std::string& name, uint32_t* type,
                      std::string& data) const {
  if (!state_) return Fail(EBADF);
  sqlite3* db = state_->db;
  Txn txn(db);
  int rc = BeginOnKey(*state_, txn, false);
  if (rc) return rc;
  Stmt s(db, "SELECT name, type, data FROM vals WHERE key = ? ORDER BY name LIMIT 1 OFFSET ?");
  s.Bind(1, state_->id).Bind(2, static_cast<sqlite3_int64>(index));
  rc = s.Step();
  if (rc == SQLITE_DONE) return Fail(kRegNoMoreItems);
  if (rc != SQLITE_ROW) return FromSqlite(db, rc);
  name = s.Text(0);
  if (type) *type = static_cast<uint32_t>(s.Int(1));
  const void* blob = s.Blob(2);
  data.assign(blob ? static_cast<const char*>(blob) : "", s.Bytes(2));
  return 0;
}

int RegKey::DeleteKey(const char* subkey) {
  if (!state_) return Fail(EBADF);
  std::vector<std::string> parts;
  int rc = SplitPath(subkey ? subkey : "", parts);
  if (rc) return Fail(rc);
  if (parts.empty()) return Fail(EINVAL);  // never the key itself or the hive's root
  sqlite3* db = state_->db;
  Txn txn(db);
  rc = BeginOnKey(*state_, txn, true);
  if (rc) return rc;
  sqlite3_int64 id = 0;
  if ((rc = Resolve(db, state_->id, parts, &id))) return Fail(rc);
  {
    Stmt child(db, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
    child.Bind(1, id);
    rc = child.Step();
    if (rc == SQLITE_ROW) return Fail(ENOTEMPTY);
    if (rc != SQLITE_DONE) return FromSqlite(db, rc);
  }
  Stmt values(db, "DELETE FROM vals WHERE key = ?");
  values.Bind(1, id);
  if ((rc = values.Step()) != SQLITE_DONE) return FromSqlite(db, rc);
  Stmt key(db, "DELETE FROM keys WHERE id = ?");
  key.Bind(1, id);
  if ((rc = key.Step()) != SQLITE_DONE) return FromSqlite(db, rc);
  rc = txn.Commit();
  return rc == SQLITE_OK ? 0 : FromSqlite(db, rc);
}

int RegKey::QueryClass(std::string& cls) const {
  if (!state_) return Fail(EBADF);
  Stmt s(state_->db, "SELECT class FROM keys WHERE id = ?");
  s.Bind(1, state_->id);
  int rc = s.Step();
  if (rc == SQLITE_DONE) return Fail(kRegMissing);
  if (rc != SQLITE_ROW) return FromSqlite(state_->db, rc);
  cls = s.Text(0);
  return 0;
}

std::string ExpandEnvironmentStrings(const std::string& text) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t open = text.find('%', at);
    size_t close = open == std::string::npos ? open : text.find('%', open + 1);
    if (close == std::string::npos) {
      out.append(text, at, std::string::npos);
      break;
    }
    out.append(text, at, open - at);
    std::string name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : getenv(name.c_str());
    if (value) {
      out += value;
    } else {
      out.append(text, open, close - open + 1);  // unknown: left as it stands
    }
    at = close + 1;
  }
  return out;
}

std::string RegistryFolder() {
  const char* own = getenv("ORVANE_REGISTRY");
  if (own && *own) return own;
  std::string config;
  if (AbsoluteEnv("XDG_CONFIG_HOME", config)) return config + "/orvane";
  return HomeFolder() + "/.config/orvane";
}

std::string HiveFile(Hive hive) {
  return RegistryFolder() +
         (hive == Hive::LocalMachine ? "/HKEY_LOCAL_MACHINE.db" : "/HKEY_CURRENT_USER.db");
}
