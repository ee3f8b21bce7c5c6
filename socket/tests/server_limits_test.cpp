// A listening server under descriptor pressure, as a local attacker would apply it: the server
// runs in a child process of its own (the engine's threads would not survive a fork, so this
// program never starts them in the parent), the parent plays the clients.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <vector>

#include "prendle/socket_server.h"
#include "test_support.h"

using namespace prendle_test;

namespace {

struct ChildOptions {
    rlim_t descriptorLimit = 0;  // 0: the inherited limit
    bool gateFirstConnect = false;
};

// The server process: echoes what it receives. With a gate, the first TW_MSG_CONNECT waits for
// a byte on `gate` (the accept thread stands still meanwhile). Reports its port on `report`, a
// byte when the gate is reached, and stops when `control` reaches end of file.
[[noreturn]] void RunServer(const ChildOptions& options, int report, int control, int gate) {
    if (options.descriptorLimit != 0) {
        rlimit limit{options.descriptorLimit, options.descriptorLimit};
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(2);
    }
    bool gated = options.gateFirstConnect;
    Handler handler;
    handler.fn = [&](TwSocketManager* manager, _TwMessage* message) -> unsigned long {
        if (message->code == TW_MSG_CONNECT && gated) {
            gated = false;
            char byte = 'g';
            if (write(report, &byte, 1) != 1 || read(gate, &byte, 1) != 1) _exit(3);
        }
        if (message->code == TW_MSG_RECEIVE) {
            _TwRecvRecord* record = Record(message);
            manager->SendMsg(message->session, record->data, static_cast<int>(record->length), false);
            record->consumed = record->length;
        }
        return TW_SUCCEED;
    };
    {
        SharedObjectPtr<TwSocketServer> server = TwSocketServer::CreatePrendle();
        if (server->Initialize(&Handler::Trampoline, &handler, 0, 0) != TW_SUCCEED) _exit(4);
        unsigned short port = 0;
        if (server->StartServer(Loopback(), &port) != TW_SUCCEED) _exit(5);
        if (write(report, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) _exit(6);
        char byte;
        while (read(control, &byte, 1) > 0) {
        }
        server->StopServer();
    }
    _exit(0);
}

class ServerProcess {
public:
    explicit ServerProcess(const ChildOptions& options) {
        int report[2], control[2], gate[2];
        if (pipe2(report, O_CLOEXEC) != 0 || pipe2(control, O_CLOEXEC) != 0 || pipe2(gate, O_CLOEXEC) != 0)
            return;
        m_report.Reset(report[0]);
        m_control.Reset(control[1]);
        m_gate.Reset(gate[1]);
        platform::UniqueFd childReport(report[1]), childControl(control[0]), childGate(gate[0]);
        m_pid = fork();
        if (m_pid == 0) {
            m_report.Reset();
            m_control.Reset();
            m_gate.Reset();
            RunServer(options, childReport.Get(), childControl.Get(), childGate.Get());
        }
        childReport.Reset();
        childControl.Reset();
        childGate.Reset();
        if (m_pid > 0 && !ReadReport(&m_port, sizeof m_port)) m_port = 0;
    }
    ~ServerProcess() {
        m_control.Reset();  // the server stops at the end of its control pipe
        m_gate.Reset();
        int status = 0;
        if (m_pid > 0) {
            EXPECT_TRUE(WaitUntil([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; }))
                << "the server process did not stop within 10 s after its control pipe closed";
        }
        m_report.Reset();
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    unsigned short Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    bool WaitGateReached() {
        char byte = 0;
        return ReadReport(&byte, 1) && byte == 'g';
    }
    void OpenGate() {
        char byte = 'o';
        EXPECT_EQ(write(m_gate.Get(), &byte, 1), 1);
    }
    // Descriptors the server process has open now.
    int OpenDescriptors() const {
        std::string path = "/proc/" + std::to_string(m_pid) + "/fd";
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) return -1;
        int count = 0;
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
        return count;
    }

private:
    bool ReadReport(void* data, std::size_t size) {
        pollfd ready{m_report.Get(), POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1) return false;
        return read(m_report.Get(), data, size) == static_cast<ssize_t>(size);
    }
    pid_t m_pid = -1;
    platform::UniqueFd m_report, m_control, m_gate;
    unsigned short m_port = 0;
};

// Client sockets of a test, closed with it.
struct Clients {
    std::vector<platform::UniqueFd> owned;
    int Add(int fd) {
        owned.emplace_back(fd);
        return fd;
    }
    int operator[](std::size_t i) const { return owned[i].Get(); }
    std::vector<int> Fds() const {
        std::vector<int> fds;
        for (const auto& fd : owned) fds.push_back(fd.Get());
        return fds;
    }
};

bool Echoes(int fd, const std::string& text) {
    std::string back(text.size(), '\0');
    return SendAll(fd, text.data(), text.size()) && RecvAll(fd, back.data(), back.size()) && back == text;
}

TEST(ServerLimits, IdleFloodAtALowDescriptorLimitLeavesRoomForANewClient) {
    RaiseFileLimit(4096);
    ServerProcess server({256, false});
    ASSERT_NE(server.Port(), 0) << "the server process did not start";
    const int base = server.OpenDescriptors();
    ASSERT_GT(base, 0);

    // Each set-up session costs its socket and at most one more descriptor.
    Clients served;
    for (int i = 0; i < 40; ++i) {
        int fd = ConnectPlain(server.Port());
        ASSERT_GE(fd, 0);
        served.Add(fd);
        ASSERT_TRUE(Echoes(fd, "up")) << "session " << i << " was not served";
    }
    EXPECT_LE(server.OpenDescriptors(), base + 40 * 2);

    // Far more idle connections than the descriptor limit could ever hold...
    Clients idle;
    for (int i = 0; i < 400; ++i) {
        int fd = ConnectPlain(server.Port());
        ASSERT_GE(fd, 0) << "connect " << i << " failed";
        idle.Add(fd);
    }
    // ...and a newcomer is still accepted and served, several times over.
    for (int round = 0; round < 3; ++round) {
        Clients fresh;
        fresh.Add(ConnectPlain(server.Port()));
        ASSERT_GE(fresh[0], 0);
        EXPECT_TRUE(Echoes(fresh[0], "hello " + std::to_string(round)))
            << "newcomer " << round << " not served";
    }
}

TEST(ServerLimits, BurstOfConnectsWaitsInTheQueueWhileTheAcceptThreadIsBusy) {
    RaiseFileLimit(4096);
    ServerProcess server({0, true});
    ASSERT_NE(server.Port(), 0) << "the server process did not start";
    Clients first;
    first.Add(ConnectPlain(server.Port()));
    ASSERT_GE(first[0], 0);
    ASSERT_TRUE(server.WaitGateReached()) << "the first connection never reached the server's callback";

    // The accept thread stands still: every handshake of the burst must complete in the queue.
    constexpr int kBurst = 100;
    Clients burst;
    for (int i = 0; i < kBurst; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        burst.Add(fd);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(server.Port());
        int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS);
    }
    auto connected = [&] {
        int done = 0;
        for (int fd : burst.Fds()) {
            pollfd ready{fd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            if (poll(&ready, 1, 0) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error == 0)
                ++done;
        }
        return done == kBurst;
    };
    EXPECT_TRUE(WaitUntil(connected, std::chrono::seconds(5)))
        << "not all " << kBurst << " connects of the burst completed while the accept thread was busy";
    server.OpenGate();
    for (int fd : burst.Fds()) {
        int flags = fcntl(fd, F_GETFL, 0);
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    for (std::size_t i = 0; i < kBurst; ++i) EXPECT_TRUE(Echoes(burst[i], "burst")) << "burst client " << i;
}

}  // namespace
