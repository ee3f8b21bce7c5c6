// Starting the GUI client for the user at the machine: the user of the active seat, with that
// user's uid, gid, groups, HOME and display environment; never as root.
#pragma once
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace service {

struct SessionUser {
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name;
    std::string home;
    std::vector<std::string> environment;  // "NAME=value": display and runtime folder of the session
};

// Finds the active seat's user: logind's record of seat0 when there is one (under `runDir`, the
// machine's /run unless a test names another). false when there is no such user or it is root.
bool FindActiveSessionUser(SessionUser* user, const std::string& runDir = "/run");

// Starts `program` with `args` (each its own argument) as `user`, in the user's home folder.
// Returns the pid, -1 on failure (logged). The caller reaps it, unless `detached`: then the
// program is nobody's child here (the pid is that of an intermediate already reaped).
pid_t StartAsUser(const SessionUser& user, const std::string& program, const std::vector<std::string>& args,
                  bool detached);

// Who starts the client, so that tests can stand in.
class ClientLauncher {
public:
    virtual ~ClientLauncher() = default;
    // Starts the client program with these arguments for the user at the machine; false when it
    // could not start (logged).
    virtual bool Launch(const std::vector<std::string>& args) = 0;
};

// The program "VornClient" in the service's own program folder, started for the active seat's user.
// The client is started detached, so that it never stays a zombie of the service.
class SessionClientLauncher final : public ClientLauncher {
public:
    using UserFinder = std::function<bool(SessionUser*)>;
    // `program` empty: VornClient in the service's folder; `findUser` empty: FindActiveSessionUser.
    explicit SessionClientLauncher(std::string program = std::string(), UserFinder findUser = {});
    bool Launch(const std::vector<std::string>& args) override;

private:
    std::string m_program;
    UserFinder m_findUser;
};

}  // namespace service
