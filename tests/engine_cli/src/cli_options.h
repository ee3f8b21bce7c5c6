// The options of qel_engine_client: from the command line and/or a file of `key = value` lines.
//
//   -server HOST -port N -user NAME [-proxy HOST:PORT] [-proxy-user NAME] [-timing NAME=MS,...]
//   [-logoff-after SECONDS] [-config FILE]
//
// Passwords never come from the command line: QEL_CLIENT_PASSWORD and QEL_PROXY_PASSWORD in the
// environment, or `password` / `proxy_password` in the file. The file takes the same keys as the
// options without the dash (`logoff_after`, `proxy_user` with an underscore); later settings win.
// Parsing is strict: an unknown option or key, a missing or malformed value is refused with a
// message naming it.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "engine/engine_timing.h"

namespace qelcli {

struct CliOptions {
    std::string server;
    int port = 443;
    std::string user, password;
    std::string proxyHost;  // dotted IPv4; empty: no proxy
    int proxyPort = 0;
    std::string proxyUser, proxyPassword;
    int logoffAfterSeconds = 0;  // 0: stay online until SIGINT or SIGTERM
    engine::EngineTiming timing;
};

// One setting by its key (without dash). false with *error when unknown or malformed.
bool SetOption(CliOptions* options, const std::string& key, const std::string& value, std::string* error);
// "NAME=MS,NAME=MS": fields of the engine's timing profile by their names.
bool ParseTiming(const std::string& text, engine::EngineTiming* timing, std::string* error);
// The file's text: `key = value` lines, '#' or ';' comments, blank lines.
bool ParseConfigText(const std::string& text, CliOptions* options, std::string* error);
// argv[1..] and then the environment's passwords (when not given by a file). Checks that server,
// user and password are there.
bool ParseCommandLine(int argc, const char* const* argv, CliOptions* options, std::string* error);

// The names ParseTiming knows, for the usage text.
std::vector<std::string> TimingNames();

}  // namespace qelcli
