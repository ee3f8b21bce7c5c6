// A faulty wire between two byte streams, for tests of what a peer does with a bad network:
// bytes are split at random points, pieces delayed, dropped or corrupted. Everything follows
// from the seed, so a failing run can be repeated exactly.
//
// FaultWire is the in-memory form (the caller moves the pieces); FaultRelay puts one wire in
// each direction of a TCP relay on loopback between a client and a server.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace testsupport {

struct FaultPlan {
    std::uint32_t seed = 1;
    double split = 0;                       // chance that a piece is cut at a random point (repeatedly)
    double drop = 0;                        // chance that a piece is lost
    double corrupt = 0;                     // chance that one byte of a piece is changed
    std::chrono::milliseconds maxDelay{0};  // each piece waits up to this long before it goes
};

struct FaultCounts {
    std::size_t pieces = 0;  // delivered
    std::size_t splits = 0;
    std::size_t drops = 0;
    std::size_t corruptions = 0;
};

struct WirePiece {
    std::vector<std::uint8_t> bytes;
    std::chrono::milliseconds delay{0};
};

class FaultWire {
public:
    explicit FaultWire(const FaultPlan& plan);

    // What becomes of `length` bytes offered to the wire: the pieces to deliver, in order.
    std::vector<WirePiece> Pass(const std::uint8_t* data, std::size_t length);
    const FaultCounts& Counts() const { return m_counts; }

private:
    bool Chance(double p);

    FaultPlan m_plan;
    std::mt19937 m_rng;
    FaultCounts m_counts;
};

// Listens on a loopback port of the kernel's choice; each connection to it is relayed to
// 127.0.0.1:targetPort through one wire per direction. One thread serves every connection and
// stops with the object (the relayed connections are closed).
class FaultRelay {
public:
    FaultRelay(unsigned short targetPort, const FaultPlan& toTarget, const FaultPlan& toClient);
    ~FaultRelay();
    FaultRelay(const FaultRelay&) = delete;
    FaultRelay& operator=(const FaultRelay&) = delete;

    bool Ok() const;
    unsigned short Port() const;
    // Counts so far, summed over the connections, per direction.
    FaultCounts ToTarget() const;
    FaultCounts ToClient() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace testsupport
