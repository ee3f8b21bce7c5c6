#include "testsupport/fault_wire.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <utility>

#include "testsupport/net.h"

namespace testsupport {

FaultWire::FaultWire(const FaultPlan& plan) : m_plan(plan), m_rng(plan.seed) {}

bool FaultWire::Chance(double p) {
    if (p <= 0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < p;
}

std::vector<WirePiece> FaultWire::Pass(const std::uint8_t* data, std::size_t length) {
    std::vector<WirePiece> pieces;
    std::size_t at = 0;
    while (at < length) {
        std::size_t size = length - at;
        if (size > 1 && Chance(m_plan.split)) {
            size = 1 + m_rng() % (size - 1);
            ++m_counts.splits;
        }
        WirePiece piece;
        piece.bytes.assign(data + at, data + at + size);
        at += size;
        if (Chance(m_plan.drop)) {
            ++m_counts.drops;
            continue;
        }
        if (Chance(m_plan.corrupt)) {
            // XOR with a non-zero value: the byte always changes.
            piece.bytes[m_rng() % piece.bytes.size()] ^= static_cast<std::uint8_t>(1 + m_rng() % 255);
            ++m_counts.corruptions;
        }
        if (m_plan.maxDelay.count() > 0)
            piece.delay = std::chrono::milliseconds(
                m_rng() % (static_cast<std::uint64_t>(m_plan.maxDelay.count()) + 1));
        ++m_counts.pieces;
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

namespace {

void Add(FaultCounts& sum, const FaultCounts& more) {
    sum.pieces += more.pieces;
    sum.splits += more.splits;
    sum.drops += more.drops;
    sum.corruptions += more.corruptions;
}

struct Link {
    platform::UniqueFd client;
    platform::UniqueFd target;
    FaultWire toTarget;
    FaultWire toClient;
    Link(platform::UniqueFd c, platform::UniqueFd t, const FaultPlan& up, const FaultPlan& down)
        : client(std::move(c)), target(std::move(t)), toTarget(up), toClient(down) {}
};

}  // namespace

struct FaultRelay::State {
    LoopbackListener listener;
    unsigned short targetPort = 0;
    FaultPlan toTarget, toClient;
    platform::UniqueFd stopFd;
    std::thread thread;
    mutable std::mutex lock;
    FaultCounts upCounts, downCounts;          // of links already closed, under `lock`
    std::vector<std::unique_ptr<Link>> links;  // the relay thread's own
    std::uint32_t accepted = 0;

    // Moves what `from` has through `wire` to `to`; false when the link is over.
    bool Forward(int from, int to, FaultWire& wire) {
        std::uint8_t buffer[16384];
        ssize_t n = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
        if (n < 0) return true;
        std::vector<WirePiece> pieces;
        {
            std::lock_guard<std::mutex> guard(lock);
            pieces = wire.Pass(buffer, static_cast<std::size_t>(n));
        }
        for (auto& piece : pieces) {
            // The wire's own delay, bounded by the plan; it holds back every link of this relay.
            if (piece.delay.count() > 0) std::this_thread::sleep_for(piece.delay);
            if (!SendAll(to, piece.bytes.data(), piece.bytes.size())) return false;
        }
        return true;
    }

    void Accept() {
        platform::UniqueFd client(listener.Accept());
        if (!client) return;
        platform::UniqueFd target(ConnectLoopback(targetPort));
        if (!target) return;
        // A peer that stops reading cannot hold the relay (and its stop) for longer than this.
        timeval limit{5, 0};
        ::setsockopt(client.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        ::setsockopt(target.Get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        // Every link has wires of its own, seeded apart but still from the plans' seeds.
        FaultPlan up = toTarget, down = toClient;
        up.seed += accepted * 7919u;
        down.seed += accepted * 7919u;
        ++accepted;
        std::lock_guard<std::mutex> guard(lock);
        links.push_back(std::make_unique<Link>(std::move(client), std::move(target), up, down));
    }

    void Close(std::size_t index) {
        std::lock_guard<std::mutex> guard(lock);
        Add(upCounts, links[index]->toTarget.Counts());
        Add(downCounts, links[index]->toClient.Counts());
        links.erase(links.begin() + static_cast<long>(index));
    }

    void Run() {
        for (;;) {
            std::vector<pollfd> fds{{stopFd.Get(), POLLIN, 0}, {listener.fd.Get(), POLLIN, 0}};
            for (auto& link : links) {
                fds.push_back({link->client.Get(), POLLIN, 0});
                fds.push_back({link->target.Get(), POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[0].revents != 0) return;
            for (std::size_t i = links.size(); i-- > 0;) {
                Link& link = *links[i];
                const int client = link.client.Get(), target = link.target.Get();
                bool alive = true;
                if (fds[2 + 2 * i].revents != 0) alive = Forward(client, target, link.toTarget);
                if (alive && fds[3 + 2 * i].revents != 0) alive = Forward(target, client, link.toClient);
                if (!alive) Close(i);
            }
            if (fds[1].revents != 0) Accept();
        }
    }
};

FaultRelay::FaultRelay(unsigned short targetPort, const FaultPlan& toTarget, const FaultPlan& toClient)
    : m_state(std::make_unique<State>()) {
    m_state->targetPort = targetPort;
    m_state->toTarget = toTarget;
    m_state->toClient = toClient;
    m_state->stopFd.Reset(::eventfd(0, EFD_CLOEXEC));
    if (!m_state->stopFd || !m_state->listener.fd) return;
    m_state->thread = std::thread([state = m_state.get()] { state->Run(); });
}

FaultRelay::~FaultRelay() {
    if (m_state->thread.joinable()) {
        // An eventfd always takes one increment; the thread sees it at its next poll, which a
        // stuck peer cannot put off for longer than the send time-out.
        std::uint64_t one = 1;
        (void)!::write(m_state->stopFd.Get(), &one, sizeof one);
        m_state->thread.join();
    }
    m_state->stopFd.Reset();
}

bool FaultRelay::Ok() const { return m_state->thread.joinable(); }

unsigned short FaultRelay::Port() const { return m_state->listener.port; }

FaultCounts FaultRelay::ToTarget() const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    FaultCounts sum = m_state->upCounts;
    for (auto& link : m_state->links) Add(sum, link->toTarget.Counts());
    return sum;
}

FaultCounts FaultRelay::ToClient() const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    FaultCounts sum = m_state->downCounts;
    for (auto& link : m_state->links) Add(sum, link->toClient.Counts());
    return sum;
}

}  // namespace testsupport
