// The settings store: registry semantics on SQLite. Key paths are backslash-separated and
// compared case-insensitively ("SOFTWARE\\Morvane" and "Software\\morvane" are one key); value
// names are case-insensitive too. Hives are not modelled: paths are those the suite uses under
// HKEY_LOCAL_MACHINE. Several threads and processes may read and write at once (WAL, busy
// time-out of 10 s, whole transactions retried when still busy); every call is one transaction.
// An object may be shared by threads (calls are serialised on its connection).
//
// The machine's store (Machine()) is two databases. The client's key "Software\Morvane\QelClient"
// and its sub-keys live in <root>/client/settings.db, which the client's group may write; every
// other key, and what of the client key the client never writes but others rely on ("InstallDir",
// "LogonHelper", "CleanCachePolicy", "UpdateServerAddr", "UpdateServerPort", "Version" and the
// sub-key "Extensions"), live in <root>/settings.db, which only root may write. For root's
// programs the client key's secrets ("ProxyPass", "QelPassword", "HistoryPasswords") and the
// sub-key "GatewayCertificates" live in a third part, <root>/client/private-0.db, mode 0600.
//
// For a member of the group (euid not 0) the client key is the member's own: every value of it
// the client acts on (logon and proxy values, secrets, gateway certificates, "CleanCachePolicy"
// and the rest) lives in the member's own part, "settings.db" in the member's own place
// (user_place.h, a 0700 folder, so nobody can read it or plant its journal beside it); of the
// group's part the member uses only what root's programs read ("SessionId"). When the member's
// part is new, what an earlier version left in the group's part and in
// <root>/client/private-<uid>.db (only when that is the member's own plain file) is read once into
// it (secrets leave the group's part, the old file goes); later values in the group's part are
// never taken.
//
// A caller sees one registry: key lists are merged, and client values written before the split are
// still read from the root part until the caller's part has its own. For root, a secret found in the
// client part (written before it had a part of its own) is read once, moved into the own part and
// removed from the client part; gateway certificates are never read from the client part. Writing
// or deleting a secret removes the old copy too. A write the caller may not make gives
// kRegAccessDenied.
//
// Bounds: key paths of at most 512 components of at most 255 characters, value names of at most
// 16383 characters, values of at most 1 MiB; beyond them calls give kRegInvalidParameter.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// Result codes as the Windows registry functions give them.
constexpr LONG kRegOk = 0;
constexpr LONG kRegFileNotFound = 2;  // key or value missing
constexpr LONG kRegAccessDenied = 5;
constexpr LONG kRegInvalidParameter = 87;
constexpr LONG kRegMoreData = 234;          // buffer too small; *size holds the size needed
constexpr LONG kRegGeneralFailure = 1359;   // the database could not be used
constexpr LONG kRegUnsupportedType = 1630;  // Get{String,Dword}: the value has another type

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// A member's own part of the store, in the member's own place (user_place.h).
constexpr const char* kUserSettingsFileName = "settings.db";

class SettingsStore {
public:
    // Opens (and creates) the database at `dbPath`. When that fails every call returns
    // kRegGeneralFailure.
    explicit SettingsStore(const std::string& dbPath);
    ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // The store of the current machine root (SettingsDbPath()). Re-opened when QEL_ROOT changed
    // since the last call, so tests can switch roots.
    static std::shared_ptr<SettingsStore> Machine();

    // Creates the key and its parents.
    LONG CreateKey(const std::string& keyPath);
    // kRegOk when the key exists, else kRegFileNotFound.
    LONG OpenKey(const std::string& keyPath);
    // Deletes the key, its values and its sub-keys.
    LONG DeleteKey(const std::string& keyPath);
    LONG DeleteValue(const std::string& keyPath, const std::string& name);

    // Sets a value; creates the key (and parents) when missing. REG_SZ data should include
    // its terminating zero, as with the Windows call; one is added when it is missing.
    LONG SetValue(const std::string& keyPath, const std::string& name, DWORD type, const void* data,
                  DWORD size);
    // Windows semantics: `type` and `data` may be null; with `data` null, *size receives the size
    // and kRegOk is returned; when *size is too small, *size receives the size needed and
    // kRegMoreData is returned. REG_SZ values come back with their terminating zero.
    LONG QueryValue(const std::string& keyPath, const std::string& name, DWORD* type, void* data,
                    DWORD* size);

    // Conveniences over the two calls above. GetString accepts REG_SZ (and REG_EXPAND_SZ) and drops
    // the terminating zero; GetDword accepts 4-byte REG_DWORD or REG_BINARY values; other types
    // give kRegUnsupportedType.
    LONG SetString(const std::string& keyPath, const std::string& name, const std::string& value);
    LONG GetString(const std::string& keyPath, const std::string& name, std::string* value);
    LONG SetDword(const std::string& keyPath, const std::string& name, DWORD value);
    LONG GetDword(const std::string& keyPath, const std::string& name, DWORD* value);
    LONG SetBinary(const std::string& keyPath, const std::string& name, const std::vector<std::uint8_t>& v);
    LONG GetBinary(const std::string& keyPath, const std::string& name, std::vector<std::uint8_t>* v);

    // Names of direct sub-keys / values, in the spelling they were created with.
    LONG EnumKeys(const std::string& keyPath, std::vector<std::string>* names);
    LONG EnumValues(const std::string& keyPath, std::vector<std::string>* names);

private:
    struct Impl;
    SettingsStore(std::unique_ptr<Impl> rootPart, std::unique_ptr<Impl> clientPart,
                  std::unique_ptr<Impl> privatePart);
    // The part that holds `name` of the key (lower-case path) for reads and writes.
    Impl& PartFor(const std::string& keyLower, const std::string& name);
    bool Split() const { return m_client != nullptr; }
    void MoveSecretToPrivatePart(const std::string& keyPath, const std::string& name);
    void MoveEarlierValues();
    struct Copier;
    LONG EnumMerged(const std::string& keyPath, std::vector<std::string>* names,
                    LONG (Impl::*list)(const std::string&, std::vector<std::string>*));

    std::unique_ptr<Impl> m_impl;     // the root part (the only one of a plain store)
    std::unique_ptr<Impl> m_client;   // the client part, for the machine's store
    std::unique_ptr<Impl> m_private;  // the caller's own part of secrets, with m_client
    bool m_member = false;            // the caller is not root: the client key is its own
};

}  // namespace platform
