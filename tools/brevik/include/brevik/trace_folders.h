// The folders the cleaner empties, and how. Nothing of the suite writes them (its HTTP fetches keep
// no cache, cookies or history on disk); they hold what the user or another program put there.
// The folders (XDG base directories, each variable only when it is an absolute path):
//
//   cache    $XDG_CACHE_HOME/qel            (~/.cache/qel)
//   cookies  $XDG_DATA_HOME/qel/cookies     (~/.local/share/qel/cookies)
//   history  $XDG_STATE_HOME/qel/history    (~/.local/state/qel/history)
//
// Emptying never leaves the user's own folders: the folder must lie inside the user's home, every
// folder on the way is the user's and is opened without following links, links inside are removed
// as links, and no other file system (a mount point inside) is entered. Thread-safe (no state).
#pragma once
#include <string>

namespace brevik {

struct TraceFolders {
    std::string cache;
    std::string cookies;
    std::string history;
};

// The user's home: $HOME when it is an absolute folder of the user, else the account's home.
std::string UserHome();
// The three folders for `home`, with the XDG variables of the environment.
TraceFolders UserTraceFolders(const std::string& home);

struct EmptyResult {
    bool listed = false;  // the folder was opened and listed
    int removed = 0;      // entries removed
    int kept = 0;         // "desktop.ini" files kept
    int wiped = 0;        // "index.dat" files zero-filled
};

// Empties `folder` (which must lie inside `home`), keeping every "desktop.ini" (any case). With
// `wipeIndexDat`, an "index.dat" of the user is zero-filled from byte 64 to its end before it is
// deleted. A missing folder gives listed == false and changes nothing.
EmptyResult EmptyDirectory(const std::string& home, const std::string& folder, bool wipeIndexDat);

// Zero-fills the regular file `name` of folder `dirFd` from byte 64 to its end, in blocks of
// 10,000 bytes; the first 64 bytes stay. false when it is no regular file of the user.
bool WipeFile(int dirFd, const char* name);

}  // namespace brevik
