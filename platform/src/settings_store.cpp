// The settings store on SQLite. Keys are rows named by their full path in lower case (the
// comparison key) plus the spelling they were created with; values hang off the lower-case key
// path. Every call is one transaction; writers start with BEGIN IMMEDIATE so that the busy
// handler (not a deadlock between two upgrading readers) decides who waits.
#include "platform/settings_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/machine_root.h"
#include "wait_deadline.h"

namespace platform {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kBusyAttempts = 3;  // whole-transaction retries on top of the busy handler
constexpr DWORD kRegExpandSz = 2;

struct KeyPath {
    bool valid = false;
    std::string lower;    // comparison form: "software\morvane\qelclient"
    std::string spelled;  // as given, normalised: "Software\Morvane\QelClient"
};

std::string Lower(const std::string& s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

// Backslash-separated, empty components (leading, trailing, doubled backslashes) dropped.
KeyPath Normalise(const std::string& path) {
    KeyPath kp;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > pos) {
            std::string part = path.substr(pos, end - pos);
            if (part.size() > 255) {
                return kp;  // longer than a registry key name may be
            }
            if (!kp.spelled.empty()) {
                kp.spelled.push_back('\\');
            }
            kp.spelled += part;
        }
        pos = end + 1;
    }
    if (kp.spelled.find('\0') != std::string::npos) {
        return kp;
    }
    kp.lower = Lower(kp.spelled);
    kp.valid = true;
    return kp;
}

std::string ParentOf(const std::string& path) {
    std::size_t cut = path.rfind('\\');
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string LeafOf(const std::string& path) {
    std::size_t cut = path.rfind('\\');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

// All paths strictly below `lower` sort between "<lower>\" and "<lower>]" (']' follows '\').
std::string SubtreeLow(const std::string& lower) { return lower.empty() ? std::string() : lower + "\\"; }
std::string SubtreeHigh(const std::string& lower) {
    return lower.empty() ? std::string("\x7f") : lower + "]";
}

class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    bool Ok() const { return m_rc == SQLITE_OK && m_stmt != nullptr; }
    int PrepareRc() const { return m_rc; }
    Stmt& Text(int i, const std::string& s) {
        sqlite3_bind_text(m_stmt, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Int(int i, std::int64_t v) {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Stmt& Blob(int i, const void* p, int n) {
        sqlite3_bind_blob(m_stmt, i, n > 0 ? p : "", n, SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return sqlite3_step(m_stmt); }
    sqlite3_stmt* Get() const { return m_stmt; }

  private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc = SQLITE_ERROR;
};

bool IsBusy(int rc) {
    int primary = rc & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

// A failure of the database, carried out of a transaction body.
struct DbError {
    int rc;
};

}  // namespace

struct SettingsStore::Impl {
    std::mutex mutex;  // one connection, used by one thread at a time
    sqlite3* db = nullptr;

    bool Exec(const char* sql, int* rcOut = nullptr) {
        int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rcOut != nullptr) {
            *rcOut = rc;
        }
        return rc == SQLITE_OK;
    }

    // Runs `body` in a transaction; repeats it when another connection kept the database busy
    // beyond the busy handler's patience. body returns a registry code or -1 - sqlite rc.
    template <typename Body>
    LONG Transaction(bool write, Body&& body) {
        if (db == nullptr) {
            return kRegGeneralFailure;
        }
        for (int attempt = 0; attempt < kBusyAttempts; ++attempt) {
            int rc = SQLITE_OK;
            if (!Exec(write ? "BEGIN IMMEDIATE" : "BEGIN", &rc)) {
                if (IsBusy(rc)) {
                    continue;
                }
                return kRegGeneralFailure;
            }
            int failed = SQLITE_OK;
            LONG result = body(&failed);
            if (failed != SQLITE_OK) {
                Exec("ROLLBACK");
                if (IsBusy(failed)) {
                    continue;
                }
                return kRegGeneralFailure;
            }
            if (result != kRegOk && write) {
                Exec("ROLLBACK");
                return result;
            }
            if (!Exec("COMMIT", &rc)) {
                Exec("ROLLBACK");
                if (IsBusy(rc)) {
                    continue;
                }
                return kRegGeneralFailure;
            }
            return result;
        }
        return kRegGeneralFailure;
    }

    // Statement helpers that record a database failure in *failed.
    static bool Done(int rc, int* failed) {
        if (rc == SQLITE_DONE || rc == SQLITE_ROW) {
            return true;
        }
        *failed = rc == SQLITE_OK ? SQLITE_ERROR : rc;
        return false;
    }

    bool KeyExists(const std::string& lower, int* failed) {
        if (lower.empty()) {
            return true;  // the hive root always exists
        }
        Stmt s(db, "SELECT 1 FROM keys WHERE path_l = ?1");
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return false;
        }
        int rc = s.Text(1, lower).Step();
        Done(rc, failed);
        return rc == SQLITE_ROW;
    }

    // The names `sql` lists for an existing key (its ?1 is the key's lower-case path).
    LONG ListNames(const std::string& lower, const char* sql, std::vector<std::string>* names, int* failed) {
        names->clear();
        if (!KeyExists(lower, failed)) {
            return kRegFileNotFound;
        }
        Stmt s(db, sql);
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return kRegGeneralFailure;
        }
        s.Text(1, lower);
        int rc;
        while ((rc = s.Step()) == SQLITE_ROW) {
            const unsigned char* t = sqlite3_column_text(s.Get(), 0);
            names->emplace_back(t ? reinterpret_cast<const char*>(t) : "");
        }
        Done(rc, failed);
        return kRegOk;
    }

    // Inserts the key and every missing parent; existing keys keep their first spelling.
    bool EnsureKey(const KeyPath& kp, int* failed) {
        std::string spelled = kp.spelled;
        while (!spelled.empty()) {
            Stmt s(db, "INSERT OR IGNORE INTO keys(path_l, parent_l, name) VALUES(?1, ?2, ?3)");
            if (!s.Ok()) {
                *failed = s.PrepareRc();
                return false;
            }
            std::string lower = Lower(spelled);
            s.Text(1, lower).Text(2, ParentOf(lower)).Text(3, LeafOf(spelled));
            if (!Done(s.Step(), failed)) {
                return false;
            }
            if (sqlite3_changes(db) == 0) {
                break;  // this key existed, so its parents do too
            }
            spelled = ParentOf(spelled);
        }
        return true;
    }

    bool Open(const std::string& path);
};

bool SettingsStore::Impl::Open(const std::string& path) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Switching to WAL needs a moment of exclusive access; another process opening the same
    // new database at the same instant can make it report busy once more.
    detail::Deadline deadline(kBusyTimeoutMs);
    for (;;) {
        int rc = SQLITE_OK;
        if (Exec("PRAGMA journal_mode=WAL", &rc) && Exec("PRAGMA synchronous=NORMAL", &rc)) {
            break;
        }
        if (!IsBusy(rc) || deadline.Expired()) {
            sqlite3_close(db);
            db = nullptr;
            return false;
        }
        ::usleep(10000);
    }
    LONG rc = Transaction(true, [this](int* failed) -> LONG {
        const char* schema =
            "CREATE TABLE IF NOT EXISTS keys(path_l TEXT PRIMARY KEY, parent_l TEXT NOT NULL,"
            " name TEXT NOT NULL);"
            "CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent_l);"
            "CREATE TABLE IF NOT EXISTS vals(key_l TEXT NOT NULL, name_l TEXT NOT NULL,"
            " name TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
            " PRIMARY KEY(key_l, name_l));";
        Exec(schema, failed);
        return kRegOk;
    });
    if (rc != kRegOk) {
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    return true;
}

SettingsStore::SettingsStore(const std::string& dbPath) : m_impl(std::make_unique<Impl>()) {
    m_impl->Open(dbPath);
}

SettingsStore::~SettingsStore() {
    if (m_impl->db != nullptr) {
        sqlite3_close(m_impl->db);
    }
}

std::shared_ptr<SettingsStore> SettingsStore::Machine() {
    static std::mutex mutex;
    static std::shared_ptr<SettingsStore> store;
    static std::string storePath;
    std::lock_guard<std::mutex> lock(mutex);
    std::string path = SettingsDbPath();
    if (!store || path != storePath) {
        MakeDirs(MachineRoot());
        store = std::make_shared<SettingsStore>(path);
        storePath = path;
    }
    return store;
}

LONG SettingsStore::CreateKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(true, [&](int* failed) -> LONG {
        m_impl->EnsureKey(kp, failed);
        return kRegOk;
    });
}

LONG SettingsStore::OpenKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(false, [&](int* failed) -> LONG {
        return m_impl->KeyExists(kp.lower, failed) ? kRegOk : kRegFileNotFound;
    });
}

LONG SettingsStore::DeleteKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || kp.lower.empty()) {
        return kRegInvalidParameter;  // the hive root cannot be deleted
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(true, [&](int* failed) -> LONG {
        if (!m_impl->KeyExists(kp.lower, failed)) {
            return kRegFileNotFound;
        }
        Stmt k(m_impl->db, "DELETE FROM keys WHERE path_l = ?1 OR (path_l >= ?2 AND path_l < ?3)");
        Stmt v(m_impl->db, "DELETE FROM vals WHERE key_l = ?1 OR (key_l >= ?2 AND key_l < ?3)");
        if (!k.Ok() || !v.Ok()) {
            *failed = SQLITE_ERROR;
            return kRegGeneralFailure;
        }
        for (Stmt* s : {&k, &v}) {
            s->Text(1, kp.lower).Text(2, SubtreeLow(kp.lower)).Text(3, SubtreeHigh(kp.lower));
            if (!Impl::Done(s->Step(), failed)) {
                return kRegGeneralFailure;
            }
        }
        return kRegOk;
    });
}

LONG SettingsStore::DeleteValue(const std::string& keyPath, const std::string& name) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(true, [&](int* failed) -> LONG {
        if (!m_impl->KeyExists(kp.lower, failed)) {
            return kRegFileNotFound;
        }
        Stmt s(m_impl->db, "DELETE FROM vals WHERE key_l = ?1 AND name_l = ?2");
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return kRegGeneralFailure;
        }
        if (!Impl::Done(s.Text(1, kp.lower).Text(2, Lower(name)).Step(), failed)) {
            return kRegGeneralFailure;
        }
        return sqlite3_changes(m_impl->db) > 0 ? kRegOk : kRegFileNotFound;
    });
}

LONG SettingsStore::SetValue(const std::string& keyPath, const std::string& name, DWORD type,
                             const void* data, DWORD size) {
    KeyPath kp = Normalise(keyPath);
    // Value names are at most 16383 characters and, being C strings on Windows, hold no zero.
    if (!kp.valid || (data == nullptr && size != 0) || size > 0x7fffffffu - 1 || name.size() > 16383 ||
        name.find('\0') != std::string::npos) {
        return kRegInvalidParameter;
    }
    std::string bytes(static_cast<const char*>(data), static_cast<const char*>(data) + (data ? size : 0));
    if ((type == REG_SZ || type == kRegExpandSz) && (bytes.empty() || bytes.back() != '\0')) {
        // Stored terminated, so that every reader gets a terminated string back whatever the
        // writer passed.
        bytes.push_back('\0');
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(true, [&](int* failed) -> LONG {
        if (!m_impl->EnsureKey(kp, failed)) {
            return kRegGeneralFailure;
        }
        // An existing value keeps the spelling of its name and its place in the enumeration.
        Stmt s(m_impl->db,
               "INSERT INTO vals(key_l, name_l, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
               " ON CONFLICT(key_l, name_l) DO UPDATE SET type = excluded.type, data = excluded.data");
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return kRegGeneralFailure;
        }
        s.Text(1, kp.lower).Text(2, Lower(name)).Text(3, name).Int(4, type);
        s.Blob(5, bytes.data(), static_cast<int>(bytes.size()));
        Impl::Done(s.Step(), failed);
        return kRegOk;
    });
}

LONG SettingsStore::QueryValue(const std::string& keyPath, const std::string& name, DWORD* type, void* data,
                               DWORD* size) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || (data != nullptr && size == nullptr)) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(false, [&](int* failed) -> LONG {
        Stmt s(m_impl->db, "SELECT type, data FROM vals WHERE key_l = ?1 AND name_l = ?2");
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return kRegGeneralFailure;
        }
        int rc = s.Text(1, kp.lower).Text(2, Lower(name)).Step();
        if (rc != SQLITE_ROW) {
            Impl::Done(rc, failed);
            return kRegFileNotFound;
        }
        DWORD storedType = static_cast<DWORD>(sqlite3_column_int64(s.Get(), 0));
        const void* blob = sqlite3_column_blob(s.Get(), 1);
        DWORD length = static_cast<DWORD>(sqlite3_column_bytes(s.Get(), 1));
        if (type != nullptr) {
            *type = storedType;
        }
        if (data == nullptr) {
            if (size != nullptr) {
                *size = length;
            }
            return kRegOk;
        }
        if (*size < length) {
            *size = length;
            return kRegMoreData;
        }
        if (length > 0) {
            std::memcpy(data, blob, length);
        }
        *size = length;
        return kRegOk;
    });
}

LONG SettingsStore::SetString(const std::string& keyPath, const std::string& name, const std::string& value) {
    return SetValue(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

LONG SettingsStore::GetString(const std::string& keyPath, const std::string& name, std::string* value) {
    std::vector<std::uint8_t> raw;
    DWORD type = REG_NONE;
    LONG rc = kRegMoreData;
    // The value may change between the size query and the read; ask again when it grew.
    for (int attempt = 0; attempt < 5 && rc == kRegMoreData; ++attempt) {
        DWORD size = 0;
        rc = QueryValue(keyPath, name, &type, nullptr, &size);
        if (rc != kRegOk) {
            return rc;
        }
        raw.resize(size);
        rc = QueryValue(keyPath, name, &type, raw.data(), &size);
        raw.resize(rc == kRegOk ? size : 0);
    }
    if (rc != kRegOk) {
        return rc;
    }
    if (type != REG_SZ && type != kRegExpandSz) {
        return kRegUnsupportedType;
    }
    std::string s(raw.begin(), raw.end());
    std::size_t zero = s.find('\0');
    if (zero != std::string::npos) {
        s.resize(zero);
    }
    if (value != nullptr) {
        *value = std::move(s);
    }
    return kRegOk;
}

LONG SettingsStore::SetDword(const std::string& keyPath, const std::string& name, DWORD value) {
    return SetValue(keyPath, name, REG_DWORD, &value, sizeof value);
}

LONG SettingsStore::GetDword(const std::string& keyPath, const std::string& name, DWORD* value) {
    DWORD type = REG_NONE;
    DWORD v = 0;
    DWORD size = sizeof v;
    LONG rc = QueryValue(keyPath, name, &type, &v, &size);
    if (rc == kRegMoreData) {
        return kRegUnsupportedType;
    }
    if (rc != kRegOk) {
        return rc;
    }
    if ((type != REG_DWORD && type != REG_BINARY) || size != sizeof v) {
        return kRegUnsupportedType;
    }
    if (value != nullptr) {
        *value = v;
    }
    return kRegOk;
}

LONG SettingsStore::SetBinary(const std::string& keyPath, const std::string& name,
                              const std::vector<std::uint8_t>& v) {
    return SetValue(keyPath, name, REG_BINARY, v.data(), static_cast<DWORD>(v.size()));
}

LONG SettingsStore::GetBinary(const std::string& keyPath, const std::string& name,
                              std::vector<std::uint8_t>* v) {
    std::vector<std::uint8_t> raw;
    LONG rc = kRegMoreData;
    for (int attempt = 0; attempt < 5 && rc == kRegMoreData; ++attempt) {
        DWORD size = 0;
        rc = QueryValue(keyPath, name, nullptr, nullptr, &size);
        if (rc != kRegOk) {
            return rc;
        }
        raw.resize(size);
        rc = QueryValue(keyPath, name, nullptr, raw.data(), &size);
        raw.resize(rc == kRegOk ? size : 0);
    }
    if (rc == kRegOk && v != nullptr) {
        *v = std::move(raw);
    }
    return rc;
}

LONG SettingsStore::EnumKeys(const std::string& keyPath, std::vector<std::string>* names) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || names == nullptr) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(false, [&](int* failed) -> LONG {
        return m_impl->ListNames(kp.lower, "SELECT name FROM keys WHERE parent_l = ?1 ORDER BY path_l", names, failed);
    });
}

LONG SettingsStore::EnumValues(const std::string& keyPath, std::vector<std::string>* names) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || names == nullptr) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(m_impl->mutex);
    return m_impl->Transaction(false, [&](int* failed) -> LONG {
        // In the order they were first set, as the registry lists them.
        return m_impl->ListNames(kp.lower, "SELECT name FROM vals WHERE key_l = ?1 ORDER BY rowid", names, failed);
    });
}

}  // namespace platform
