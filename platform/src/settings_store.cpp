// The settings store on SQLite. Keys are rows named by their full path in lower case (the
// comparison key) plus the spelling they were created with; values hang off the lower-case key
// path. Every call is one transaction; writers start with BEGIN IMMEDIATE so that the busy
// handler (not a deadlock between two upgrading readers) decides who waits.
#include "platform/text_util.h"
#include "platform/settings_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/debug_output.h"
#include "platform/machine_root.h"
#include "platform/secure_dir.h"
#include "platform/client_settings.h"
#include "platform/unique_fd.h"
#include "platform/user_place.h"
#include "wait_deadline.h"

namespace platform {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kBusyAttempts = 3;  // whole-transaction retries on top of the busy handler
constexpr DWORD kRegExpandSz = 2;
// Bounds as the registry has them: 512 levels, 255 characters per key name. Values are bounded
// far below the registry's "available memory", so nobody can grow the machine's store without end.
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr DWORD kMaxValueSize = 1u << 20;
// The client's key, writable by the client's group, less what the client never writes and
// privileged code or every user's GUI relies on: folders programs are loaded from or write into,
// libraries and programs to load or run, where updates come from.
constexpr const char* kClientKeyLower = "software\\morvane\\qelclient";
constexpr const char* kRootValuesOfClientKey[] = {"installdir",       "logonhelper",      "cleancachepolicy",
                                                  "updateserveraddr", "updateserverport", "version"};
constexpr const char* kRootSubKeyOfClientKey = "software\\morvane\\qelclient\\extensions";
// Values of the client key that are secrets of the client's user (the proxy's password, the
// remembered logon password and those of the gateway history): in a part of that user's own, which
// no other member of the group may read.
constexpr const char* kPrivateValuesOfClientKey[] = {"proxypass", "qelpassword", "historypasswords"};
// The gateway certificates this user trusts (one value a gateway): another member able to write
// them could make the client trust a gateway of theirs, so they are in the user's own part too.
constexpr const char* kPrivateSubKeyOfClientKey = "software\\morvane\\qelclient\\gatewaycertificates";
// For a member's client every other value of the client key is the member's own (where its secrets
// go, what its client does), but for these, which root's programs read: the session id the
// service's HTTP server compares.
constexpr const char* kSharedValuesOfClientKey[] = {"sessionid"};
// A member's client keeps the policy it received itself; root's keeps it in the root part.
constexpr const char* kMemberValuesOfRootList[] = {"cleancachepolicy"};

struct KeyPath {
    bool valid = false;
    std::string lower;    // comparison form: "software\morvane\qelclient"
    std::string spelled;  // as given, normalised: "Software\Morvane\QelClient"
};

// Backslash-separated, empty components (leading, trailing, doubled backslashes) dropped. Invalid
// beyond kMaxKeyDepth components or kMaxKeyNameLength characters in one, found without building
// the whole of an oversized path.
KeyPath Normalise(const std::string& path) {
    KeyPath kp;
    std::size_t pos = 0;
    std::size_t depth = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > pos) {
            std::string part = path.substr(pos, end - pos);
            if (part.size() > kMaxKeyNameLength || ++depth > kMaxKeyDepth) {
                return kp;
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
    kp.lower = platform::Lower(kp.spelled);
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

bool IsReadOnly(int rc) { return (rc & 0xff) == SQLITE_READONLY; }

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
    LONG unusable = kRegGeneralFailure;  // every call's result when the database did not open

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
            return unusable;
        }
        for (int attempt = 0; attempt < kBusyAttempts; ++attempt) {
            int rc = SQLITE_OK;
            if (!Exec(write ? "BEGIN IMMEDIATE" : "BEGIN", &rc)) {
                if (IsBusy(rc)) {
                    continue;
                }
                return IsReadOnly(rc) ? kRegAccessDenied : kRegGeneralFailure;
            }
            int failed = SQLITE_OK;
            LONG result = body(&failed);
            if (failed != SQLITE_OK) {
                Exec("ROLLBACK");
                if (IsBusy(failed)) {
                    continue;
                }
                return IsReadOnly(failed) ? kRegAccessDenied : kRegGeneralFailure;
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
                return IsReadOnly(rc) ? kRegAccessDenied : kRegGeneralFailure;
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
            std::string lower = platform::Lower(spelled);
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

    ~Impl();
    static std::unique_ptr<Impl> OpenClientPart();
    static std::unique_ptr<Impl> OpenPrivatePart();
    static std::unique_ptr<Impl> OpenUserPart(const std::string& place);
    bool Open(const std::string& path, bool noFollow);
    // Opens `path` read only as it stands in its main file, its journal and side files ignored.
    bool OpenSnapshot(const std::string& path);
    int UserVersion();
    void SetUserVersion(int version);

    // The calls of the store on this one database.
    LONG CreateKey(const std::string& keyPath);
    LONG OpenKey(const std::string& keyPath);
    LONG DeleteKey(const std::string& keyPath);
    LONG DeleteValue(const std::string& keyPath, const std::string& name);
    LONG SetValue(const std::string& keyPath, const std::string& name, DWORD type, const void* data,
                  DWORD size);
    LONG QueryValue(const std::string& keyPath, const std::string& name, DWORD* type, void* data,
                    DWORD* size);
    LONG EnumKeys(const std::string& keyPath, std::vector<std::string>* names);
    LONG EnumValues(const std::string& keyPath, std::vector<std::string>* names);
};

bool SettingsStore::Impl::Open(const std::string& path, bool noFollow) {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (noFollow) {
        flags |= SQLITE_OPEN_NOFOLLOW;
    }
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    if (sqlite3_db_readonly(db, "main") == 1) {
        // Somebody else's part (opened read-only because we may not write it): its owner set it
        // up; writes give access denied.
        return true;
    }
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

bool SettingsStore::Impl::OpenSnapshot(const std::string& path) {
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
            uri += hex;
        } else {
            uri += c;
        }
    }
    uri += "?immutable=1";
    const int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(uri.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        db = nullptr;
        return false;
    }
    return true;
}

int SettingsStore::Impl::UserVersion() {
    std::lock_guard<std::mutex> lock(mutex);
    Stmt s(db, "PRAGMA user_version");
    return s.Ok() && s.Step() == SQLITE_ROW ? sqlite3_column_int(s.Get(), 0) : -1;
}

void SettingsStore::Impl::SetUserVersion(int version) {
    std::lock_guard<std::mutex> lock(mutex);
    Exec(("PRAGMA user_version=" + std::to_string(version)).c_str());
}

SettingsStore::Impl::~Impl() {
    if (db != nullptr) {
        sqlite3_close(db);
    }
}

SettingsStore::SettingsStore(const std::string& dbPath) : m_impl(std::make_unique<Impl>()) {
    m_impl->Open(dbPath, false);
}

SettingsStore::SettingsStore(std::unique_ptr<Impl> rootPart, std::unique_ptr<Impl> clientPart,
                             std::unique_ptr<Impl> privatePart)
    : m_impl(std::move(rootPart)), m_client(std::move(clientPart)), m_private(std::move(privatePart)) {}

SettingsStore::~SettingsStore() = default;

namespace {}  // namespace

// The client part for this process. Root makes its folder (root:<client group>, setgid so that
// every file in it gets the group, sticky so that no member removes or replaces root's files)
// and its database file (0660); members only open what root made. Null when it is not usable.
std::unique_ptr<SettingsStore::Impl> SettingsStore::Impl::OpenClientPart() {
    const std::string path = ClientSettingsDbPath();
    const std::string dir = path.substr(0, path.rfind('/'));
    const bool root = ::geteuid() == 0;
    std::string why;
    if (!EnsureSecureDir(dir, SecureDirRule{03770, root ? ClientGroupId() : static_cast<gid_t>(-1)}, &why)) {
        DebugOutput("client settings refused: " + why);
        return nullptr;
    }
    const UniqueFd fd(CreateFileExclusive(dir, "settings.db", 0660));
    if (fd) {
        ::fchmod(fd.Get(), 0660);  // past the umask
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        (st.st_uid != 0 && st.st_uid != ::geteuid())) {
        DebugOutput("client settings refused: " + path + " is not a plain file of root");
        return nullptr;
    }
    auto part = std::make_unique<Impl>();
    if (!part->Open(path, true)) {
        return nullptr;
    }
    if (root) {
        // Root's write-ahead log stays between sessions, so no member gets to create it.
        int persist = 1;
        sqlite3_file_control(part->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    }
    return part;
}

// The caller's own part beside the client part: <root>/client/private-<euid>.db, made by its
// owner with mode 0600 and used only while it is a plain file of the caller that nobody else may
// read. Null when it is not usable.
std::unique_ptr<SettingsStore::Impl> SettingsStore::Impl::OpenPrivatePart() {
    const std::string client = ClientSettingsDbPath();
    const std::string dir = client.substr(0, client.rfind('/'));
    const std::string name = "private-" + std::to_string(::geteuid()) + ".db";
    const std::string path = dir + "/" + name;
    const UniqueFd fd(CreateFileExclusive(dir, name, 0600));
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
        st.st_uid != ::geteuid()) {
        DebugOutput("private settings refused: " + path + " is not a plain file of this user");
        return nullptr;
    }
    // The folder is sticky: nobody else can have replaced our file since the look.
    if ((st.st_mode & 077) != 0 && ::chmod(path.c_str(), 0600) != 0) {
        return nullptr;
    }
    auto part = std::make_unique<Impl>();
    if (!part->Open(path, true)) {
        return nullptr;
    }
    return part;
}

// A member's own part: "settings.db" in the member's own place, its journal and side files beside
// it in that 0700 folder, where nobody else can create them. The file and every side file found
// must be the member's own plain files; anything else there is refused, never adopted.
std::unique_ptr<SettingsStore::Impl> SettingsStore::Impl::OpenUserPart(const std::string& place) {
    const std::string path = place + "/" + kUserSettingsFileName;
    // Made 0600 before SQLite opens it (its side files take the main file's mode).
    const UniqueFd made(CreateFileExclusive(place, kUserSettingsFileName, 0600));
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const std::string file = path + suffix;
        struct stat st {};
        if (::lstat(file.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;
            DebugOutput("private settings refused: " + file + " cannot be examined");
            return nullptr;
        }
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) {
            DebugOutput("private settings refused: " + file + " is not a plain file of this user");
            return nullptr;
        }
        if ((st.st_mode & 077) != 0 && ::chmod(file.c_str(), 0600) != 0) return nullptr;
    }
    auto part = std::make_unique<Impl>();
    if (!part->Open(path, true)) {
        DebugOutput("private settings refused: " + path + " cannot be opened");
        return nullptr;
    }
    return part;
}

namespace {

// `name` is a value of the client key itself that is one of `values` (lower-case).
template <std::size_t N>
bool ClientKeyValueIn(const std::string& keyLower, const std::string& name, const char* const (&values)[N]) {
    if (keyLower != kClientKeyLower) {
        return false;
    }
    const std::string lower = platform::Lower(name);
    for (const char* value : values) {
        if (lower == value) {
            return true;
        }
    }
    return false;
}

// `lower` is `key` or lies below it.
bool AtOrBelow(const std::string& lower, const std::string& key) {
    return lower == key ||
           (lower.size() > key.size() && lower.compare(0, key.size(), key) == 0 && lower[key.size()] == '\\');
}

bool InClientTree(const std::string& lower) {
    return AtOrBelow(lower, kClientKeyLower) && !AtOrBelow(lower, kRootSubKeyOfClientKey);
}

// The key or one of its sub-keys is in the client part.
bool ReachesClientTree(const std::string& lower) {
    const std::string client = kClientKeyLower;
    return lower.empty() || InClientTree(lower) ||
           (client.size() > lower.size() && client.compare(0, lower.size(), lower) == 0 &&
            client[lower.size()] == '\\');
}

// Appends the names of `more` that `names` lacks (compared case-insensitively).
void MergeNames(std::vector<std::string>* names, const std::vector<std::string>& more) {
    for (const std::string& n : more) {
        bool seen = false;
        for (const std::string& have : *names) {
            seen = seen || platform::Lower(have) == platform::Lower(n);
        }
        if (!seen) {
            names->push_back(n);
        }
    }
}

// A root value of the client key (see kRootValuesOfClientKey) for a caller who is a member or root.
bool IsRootValue(const std::string& keyLower, const std::string& name, bool member) {
    return ClientKeyValueIn(keyLower, name, kRootValuesOfClientKey) &&
           !(member && ClientKeyValueIn(keyLower, name, kMemberValuesOfRootList));
}

bool IsSecret(const std::string& keyLower, const std::string& name) {
    return ClientKeyValueIn(keyLower, name, kPrivateValuesOfClientKey);
}

}  // namespace

// Copies into `to` what `from` holds below `key` and `to` lacks (its own values win). From the
// group's part (`shared`) neither gateway certificates (never kept there: one found there was
// planted) nor what stays shared are taken.
struct SettingsStore::Copier {
    static void CopyMissing(Impl& from, Impl& to, const std::string& key, bool shared) {
        const std::string lower = platform::Lower(key);
        if (!InClientTree(lower) || (shared && AtOrBelow(lower, kPrivateSubKeyOfClientKey)) ||
            from.OpenKey(key) != kRegOk) {
            return;
        }
        to.CreateKey(key);
        std::vector<std::string> names;
        if (from.EnumValues(key, &names) == kRegOk) {
            for (const std::string& name : names) {
                DWORD type = REG_NONE;
                DWORD size = 0;
                if (IsRootValue(lower, name, true) ||
                    ClientKeyValueIn(lower, name, kSharedValuesOfClientKey) ||
                    to.QueryValue(key, name, nullptr, nullptr, &size) == kRegOk ||
                    from.QueryValue(key, name, &type, nullptr, &size) != kRegOk) {
                    continue;
                }
                std::vector<std::uint8_t> bytes(size == 0 ? 1 : size);
                if (from.QueryValue(key, name, &type, bytes.data(), &size) == kRegOk) {
                    to.SetValue(key, name, type, bytes.data(), size);
                }
            }
        }
        if (from.EnumKeys(key, &names) == kRegOk) {
            for (const std::string& sub : names) CopyMissing(from, to, key + "\\" + sub, shared);
        }
    }
};

// Once per member's part: what an earlier version kept for the member elsewhere is read and kept
// in the member's own part. The own part beside the group's, only when it is the member's own
// plain file, is read as its main file stands (a journal beside it, in the group's folder, could
// be another member's) and then removed; from the group's part the values are copied (other
// members read them once too), but for secrets, which leave it.
void SettingsStore::MoveEarlierValues() {
    if (m_private->db == nullptr || m_private->UserVersion() != 0) return;
    const uid_t me = ::geteuid();
    const std::string client = ClientSettingsDbPath();
    const std::string old = client.substr(0, client.rfind('/')) + "/private-" + std::to_string(me) + ".db";
    if (IsOwnPrivateFile(old, me)) {
        Impl earlier;
        if (earlier.OpenSnapshot(old)) {
            Copier::CopyMissing(earlier, *m_private, client_settings::kClientKey, false);
        }
        for (const char* suffix : {"", "-wal", "-shm", "-journal"}) ::unlink((old + suffix).c_str());
    }
    if (m_client->db != nullptr) {
        Copier::CopyMissing(*m_client, *m_private, client_settings::kClientKey, true);
        for (const char* secret : {client_settings::kProxyPass, client_settings::kQelPassword,
                                   client_settings::kHistoryPasswords}) {
            m_client->DeleteValue(client_settings::kClientKey, secret);
        }
    }
    m_private->SetUserVersion(1);
}

std::shared_ptr<SettingsStore> SettingsStore::Machine() {
    static std::mutex mutex;
    static std::shared_ptr<SettingsStore> store;
    static std::string storePath;
    std::lock_guard<std::mutex> lock(mutex);
    std::string path = SettingsDbPath();
    if (!store || path != storePath) {
        MakeDirs(MachineRoot());
        auto rootPart = std::make_unique<Impl>();
        rootPart->Open(path, true);
        if (::geteuid() == 0 && rootPart->db != nullptr) {
            // Root's write-ahead log and its index stay between sessions: a user, who may only
            // read this part, could not open it at all once the last writer had closed it (the
            // service's state and the client's machine-wide values are read from it).
            int persist = 1;
            sqlite3_file_control(rootPart->db, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        }
        const bool member = UsesUserPlace();
        auto clientPart = Impl::OpenClientPart();
        std::unique_ptr<Impl> privatePart;
        if (member) {
            std::string why;
            const std::string place = UserPlace(&why);
            if (place.empty()) {
                DebugOutput("private settings refused: " + why);
            } else {
                privatePart = Impl::OpenUserPart(place);
            }
        } else if (clientPart) {
            privatePart = Impl::OpenPrivatePart();
        }
        const LONG refused = ::geteuid() == 0 ? kRegGeneralFailure : kRegAccessDenied;
        if (!clientPart) {
            // Still split: client writes are refused rather than put into the root part. A user
            // outside the client's group may not open its folder at all.
            clientPart = std::make_unique<Impl>();
            clientPart->unusable = refused;
        }
        if (!privatePart) {
            // Secrets are refused rather than put where the group could read them.
            privatePart = std::make_unique<Impl>();
            privatePart->unusable = refused;
        }
        store.reset(new SettingsStore(std::move(rootPart), std::move(clientPart), std::move(privatePart)));
        store->m_member = member;
        if (member) store->MoveEarlierValues();
        storePath = path;
    }
    return store;
}

SettingsStore::Impl& SettingsStore::PartFor(const std::string& keyLower, const std::string& name) {
    if (Split() && m_member) {
        if (!InClientTree(keyLower) || IsRootValue(keyLower, name, true)) return *m_impl;
        return ClientKeyValueIn(keyLower, name, kSharedValuesOfClientKey) ? *m_client : *m_private;
    }
    if (Split() && (ClientKeyValueIn(keyLower, name, kPrivateValuesOfClientKey) ||
                    AtOrBelow(keyLower, kPrivateSubKeyOfClientKey))) {
        return *m_private;
    }
    if (Split() && InClientTree(keyLower) && !IsRootValue(keyLower, name, false)) {
        return *m_client;
    }
    return *m_impl;
}

LONG SettingsStore::Impl::CreateKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(true, [&](int* failed) -> LONG {
        EnsureKey(kp, failed);
        return kRegOk;
    });
}

LONG SettingsStore::Impl::OpenKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(
        false, [&](int* failed) -> LONG { return KeyExists(kp.lower, failed) ? kRegOk : kRegFileNotFound; });
}

LONG SettingsStore::Impl::DeleteKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || kp.lower.empty()) {
        return kRegInvalidParameter;  // the hive root cannot be deleted
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(true, [&](int* failed) -> LONG {
        if (!KeyExists(kp.lower, failed)) {
            return kRegFileNotFound;
        }
        Stmt k(db, "DELETE FROM keys WHERE path_l = ?1 OR (path_l >= ?2 AND path_l < ?3)");
        Stmt v(db, "DELETE FROM vals WHERE key_l = ?1 OR (key_l >= ?2 AND key_l < ?3)");
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

LONG SettingsStore::Impl::DeleteValue(const std::string& keyPath, const std::string& name) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(true, [&](int* failed) -> LONG {
        if (!KeyExists(kp.lower, failed)) {
            return kRegFileNotFound;
        }
        Stmt s(db, "DELETE FROM vals WHERE key_l = ?1 AND name_l = ?2");
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return kRegGeneralFailure;
        }
        if (!Impl::Done(s.Text(1, kp.lower).Text(2, platform::Lower(name)).Step(), failed)) {
            return kRegGeneralFailure;
        }
        return sqlite3_changes(db) > 0 ? kRegOk : kRegFileNotFound;
    });
}

LONG SettingsStore::Impl::SetValue(const std::string& keyPath, const std::string& name, DWORD type,
                                   const void* data, DWORD size) {
    KeyPath kp = Normalise(keyPath);
    // Value names are at most 16383 characters and, being C strings on Windows, hold no zero.
    if (!kp.valid || (data == nullptr && size != 0) || size > kMaxValueSize || name.size() > 16383 ||
        name.find('\0') != std::string::npos) {
        return kRegInvalidParameter;
    }
    std::string bytes(static_cast<const char*>(data), static_cast<const char*>(data) + (data ? size : 0));
    if ((type == REG_SZ || type == kRegExpandSz) && (bytes.empty() || bytes.back() != '\0')) {
        // Stored terminated, so that every reader gets a terminated string back whatever the
        // writer passed.
        bytes.push_back('\0');
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(true, [&](int* failed) -> LONG {
        if (!EnsureKey(kp, failed)) {
            return kRegGeneralFailure;
        }
        // An existing value keeps the spelling of its name and its place in the enumeration.
        Stmt s(db,
               "INSERT INTO vals(key_l, name_l, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
               " ON CONFLICT(key_l, name_l) DO UPDATE SET type = excluded.type, data = excluded.data");
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return kRegGeneralFailure;
        }
        s.Text(1, kp.lower).Text(2, platform::Lower(name)).Text(3, name).Int(4, type);
        s.Blob(5, bytes.data(), static_cast<int>(bytes.size()));
        Impl::Done(s.Step(), failed);
        return kRegOk;
    });
}

LONG SettingsStore::Impl::QueryValue(const std::string& keyPath, const std::string& name, DWORD* type,
                                     void* data, DWORD* size) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || (data != nullptr && size == nullptr)) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(false, [&](int* failed) -> LONG {
        Stmt s(db, "SELECT type, data FROM vals WHERE key_l = ?1 AND name_l = ?2");
        if (!s.Ok()) {
            *failed = s.PrepareRc();
            return kRegGeneralFailure;
        }
        int rc = s.Text(1, kp.lower).Text(2, platform::Lower(name)).Step();
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

LONG SettingsStore::Impl::EnumKeys(const std::string& keyPath, std::vector<std::string>* names) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || names == nullptr) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(false, [&](int* failed) -> LONG {
        return ListNames(kp.lower, "SELECT name FROM keys WHERE parent_l = ?1 ORDER BY path_l", names,
                         failed);
    });
}

LONG SettingsStore::Impl::EnumValues(const std::string& keyPath, std::vector<std::string>* names) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || names == nullptr) {
        return kRegInvalidParameter;
    }
    std::lock_guard<std::mutex> lock(mutex);
    return Transaction(false, [&](int* failed) -> LONG {
        // In the order they were first set, as the registry lists them.
        return ListNames(kp.lower, "SELECT name FROM vals WHERE key_l = ?1 ORDER BY rowid", names, failed);
    });
}

// ---------------------------------------------------------------------------------------------
// The store's calls, each on the part that holds its key or value.

LONG SettingsStore::CreateKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    if (!Split() || !InClientTree(kp.lower)) return m_impl->CreateKey(keyPath);
    return (m_member ? *m_private : *m_client).CreateKey(keyPath);
}

LONG SettingsStore::OpenKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    LONG rc = m_impl->OpenKey(keyPath);
    if (rc == kRegOk || !Split() || !ReachesClientTree(kp.lower)) {
        return rc;
    }
    // A member's client sees no key of the group's part below the client key: they are its own.
    const bool clientSeen = !m_member || !InClientTree(kp.lower) || kp.lower == kClientKeyLower;
    return (clientSeen && m_client->OpenKey(keyPath) == kRegOk) || m_private->OpenKey(keyPath) == kRegOk
               ? kRegOk
               : rc;
}

LONG SettingsStore::DeleteKey(const std::string& keyPath) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || kp.lower.empty()) {
        return kRegInvalidParameter;
    }
    LONG rootRc = m_impl->DeleteKey(keyPath);
    if (!Split() || !ReachesClientTree(kp.lower) || (rootRc != kRegOk && rootRc != kRegFileNotFound)) {
        return rootRc;
    }
    LONG clientRc = m_client->DeleteKey(keyPath);
    const bool privateGone = m_private->DeleteKey(keyPath) == kRegOk;
    if (clientRc == kRegFileNotFound && (rootRc == kRegOk || privateGone)) {
        return kRegOk;
    }
    return clientRc;
}

LONG SettingsStore::DeleteValue(const std::string& keyPath, const std::string& name) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    Impl& part = PartFor(kp.lower, name);
    LONG rc = part.DeleteValue(keyPath, name);
    if (&part == m_impl.get() || (rc != kRegOk && rc != kRegFileNotFound)) {
        return rc;
    }
    if (&part == m_private.get() && IsSecret(kp.lower, name)) {
        // A copy from before secrets had a part of their own would come back on the next read.
        LONG shared = m_client->DeleteValue(keyPath, name);
        if (shared != kRegOk && shared != kRegFileNotFound) {
            return shared;
        }
        rc = rc == kRegOk ? rc : shared;
    }
    // A copy from before the split would come back on the next read.
    LONG legacy = m_impl->DeleteValue(keyPath, name);
    if (legacy == kRegOk || legacy == kRegFileNotFound) {
        return legacy == kRegOk ? kRegOk : rc;
    }
    return legacy;
}

LONG SettingsStore::SetValue(const std::string& keyPath, const std::string& name, DWORD type,
                             const void* data, DWORD size) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    Impl& part = PartFor(kp.lower, name);
    LONG rc = part.SetValue(keyPath, name, type, data, size);
    if (rc == kRegOk && &part == m_private.get() && IsSecret(kp.lower, name)) {
        // The group-readable copy from before goes, now that the secret has its own place.
        m_client->DeleteValue(keyPath, name);
    }
    return rc;
}

LONG SettingsStore::QueryValue(const std::string& keyPath, const std::string& name, DWORD* type, void* data,
                               DWORD* size) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid) {
        return kRegInvalidParameter;
    }
    Impl& part = PartFor(kp.lower, name);
    LONG rc = part.QueryValue(keyPath, name, type, data, size);
    if (m_member) {
        // What the group's part held was read once, when the member's part was made; a value
        // another member writes there later is never taken. Root wrote the root part.
        if (rc == kRegFileNotFound && &part != m_impl.get())
            rc = m_impl->QueryValue(keyPath, name, type, data, size);
        return rc;
    }
    // Gateway certificates never lived in the shared part: one found there was planted.
    if (&part == m_private.get() && rc != kRegOk && rc != kRegMoreData &&
        !AtOrBelow(kp.lower, kPrivateSubKeyOfClientKey)) {
        MoveSecretToPrivatePart(keyPath, name);
        rc = m_private->QueryValue(keyPath, name, type, data, size);
        if (rc != kRegOk && rc != kRegMoreData) {
            rc = m_client->QueryValue(keyPath, name, type, data, size);  // written before it had its own
        }
    }
    if (rc == kRegFileNotFound && &part != m_impl.get()) {
        rc = m_impl->QueryValue(keyPath, name, type, data, size);  // written before the split
    }
    return rc;
}

// A secret written to the group's part before it had a part of its own is read once more there and
// then kept only in the caller's own part. Nothing moves when the caller's part is not usable.
void SettingsStore::MoveSecretToPrivatePart(const std::string& keyPath, const std::string& name) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (m_private->db == nullptr || m_client->QueryValue(keyPath, name, &type, nullptr, &size) != kRegOk) {
        return;
    }
    std::vector<std::uint8_t> bytes(size == 0 ? 1 : size);
    if (m_client->QueryValue(keyPath, name, &type, bytes.data(), &size) != kRegOk ||
        m_private->SetValue(keyPath, name, type, bytes.data(), size) != kRegOk) {
        return;
    }
    m_client->DeleteValue(keyPath, name);
}

LONG SettingsStore::EnumKeys(const std::string& keyPath, std::vector<std::string>* names) {
    return EnumMerged(keyPath, names, &Impl::EnumKeys);
}

LONG SettingsStore::EnumValues(const std::string& keyPath, std::vector<std::string>* names) {
    return EnumMerged(keyPath, names, &Impl::EnumValues);
}

LONG SettingsStore::EnumMerged(const std::string& keyPath, std::vector<std::string>* names,
                               LONG (Impl::*list)(const std::string&, std::vector<std::string>*)) {
    KeyPath kp = Normalise(keyPath);
    if (!kp.valid || names == nullptr) {
        return kRegInvalidParameter;
    }
    LONG rc = ((*m_impl).*list)(keyPath, names);
    if (!Split() || !ReachesClientTree(kp.lower) || (rc != kRegOk && rc != kRegFileNotFound)) {
        return rc;
    }
    bool any = rc == kRegOk;
    for (Impl* part : {m_client.get(), m_private.get()}) {
        std::vector<std::string> more;
        if (m_member && part == m_client.get() && InClientTree(kp.lower)) {
            // Of the group's part a member sees only what stays shared.
            if (kp.lower != kClientKeyLower || list != &Impl::EnumValues ||
                part->EnumValues(keyPath, &more) != kRegOk)
                continue;
            std::vector<std::string> shared;
            for (const std::string& n : more)
                if (ClientKeyValueIn(kp.lower, n, kSharedValuesOfClientKey)) shared.push_back(n);
            more.swap(shared);
            if (!any) names->clear();
            MergeNames(names, more);
            any = true;
            continue;
        }
        if ((part->*list)(keyPath, &more) == kRegOk) {
            if (!any) names->clear();
            MergeNames(names, more);
            any = true;
        }
    }
    return any ? kRegOk : rc;
}

}  // namespace platform
