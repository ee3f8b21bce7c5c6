// Machine root paths, error numbers, the clock, debug output and the log sink slot.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "platform/unique_fd.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "platform/errors.h"
#include "platform/fake/manual_clock.h"
#include "platform/log_sink.h"
#include "platform/machine_root.h"
#include "test_support.h"

namespace platform {
namespace {

TEST(MachineRootTest, PathsHangOffTheRoot) {
    ::unsetenv("QEL_ROOT");
    platform::ResetMachineRoot();
    EXPECT_EQ(MachineRoot(), "/var/lib/qel");
    testsupport::TempRoot root{"qel-platform"};
    ::setenv("QEL_ROOT", (root.Path() + "//").c_str(), 1);
    platform::ResetMachineRoot();
    EXPECT_EQ(MachineRoot(), root.Path());
    // Read once: a later change of the environment moves nothing until a reset.
    ::setenv("QEL_ROOT", "/elsewhere", 1);
    EXPECT_EQ(MachineRoot(), root.Path());
    ResetMachineRoot();
    EXPECT_EQ(MachineRoot(), "/elsewhere");
    ::setenv("QEL_ROOT", root.Path().c_str(), 1);
    ResetMachineRoot();
    EXPECT_EQ(SettingsDbPath(), root.Path() + "/settings.db");
    EXPECT_EQ(DefaultInstallDir(), root.Path() + "/install");
    EXPECT_EQ(CertStoreDir(), root.Path() + "/certstore");
    EXPECT_EQ(RuntimeDir(), root.Path() + "/run");
    struct stat st {};
    ASSERT_EQ(::stat(RuntimeDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_TRUE(MakeDirs(root.Path() + "/a/b/c"));
    EXPECT_TRUE(MakeDirs(root.Path() + "/a/b/c"));
    EXPECT_FALSE(MakeDirs(""));
    ASSERT_TRUE(
        platform::UniqueFd(::open((root.Path() + "/file").c_str(), O_CREAT | O_WRONLY, 0644)).Valid());
    EXPECT_FALSE(MakeDirs(root.Path() + "/file/sub"));
}

TEST(ErrorsTest, SocketErrorsMapToWinsockNumbers) {
    EXPECT_EQ(WsaErrorFromErrno(0), 0u);
    EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), 10061u);
    EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), 10054u);
    EXPECT_EQ(WsaErrorFromErrno(ETIMEDOUT), 10060u);
    EXPECT_EQ(WsaErrorFromErrno(EHOSTUNREACH), 10065u);
    EXPECT_EQ(WsaErrorFromErrno(ENETUNREACH), 10051u);
    EXPECT_EQ(WsaErrorFromErrno(EADDRINUSE), 10048u);
    EXPECT_EQ(WsaErrorFromErrno(EWOULDBLOCK), 10035u);
    EXPECT_EQ(WsaErrorFromErrno(EAGAIN), 10035u);
    EXPECT_EQ(WsaErrorFromErrno(EINPROGRESS), 10036u);
    EXPECT_EQ(WinErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(WinErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(WinErrorFromErrno(EEXIST), 183u);
}

TEST(ErrorsTest, LastErrorBelongsToTheThread) {
    SetLastError(1234);
    DWORD inOther = 1;
    std::thread([&] {
        inOther = GetLastError();
        SetLastError(5);
    }).join();
    EXPECT_EQ(inOther, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(ClockTest, SystemClockLooksSane) {
    LocalTime now = GetLocalTime();
    EXPECT_GE(now.year, 2024);
    EXPECT_GE(now.month, 1);
    EXPECT_LE(now.month, 12);
    EXPECT_LE(now.milliseconds, 999);
    EXPECT_LE(now.second, 59);
    std::uint64_t a = GetTickCount64();
    std::uint64_t b = GetTickCount64();
    EXPECT_LE(a, b);
    EXPECT_FALSE(SystemClock().Manual());
}

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
    fake::ManualClock manual(5000, LocalTime{2026, 12, 3, 9, 5, 59, 59, 900});
    EXPECT_EQ(manual.TickMs(), 5000u);
    manual.Advance(150);
    EXPECT_EQ(manual.TickMs(), 5150u);
    LocalTime t = manual.Now();
    EXPECT_EQ(t.hour, 5);
    EXPECT_EQ(t.minute, 0);
    EXPECT_EQ(t.second, 0);
    EXPECT_EQ(t.milliseconds, 50);
}

TEST(DebugOutputTest, CaptureSeesEveryMessageFromEveryThread) {
    std::vector<std::string> seen;
    SetDebugOutputCapture([&](std::string_view text) { seen.emplace_back(text); });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i) {
                DebugOutput("line");
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    SetDebugOutputCapture({});
    DebugOutput("not captured");
    EXPECT_EQ(seen.size(), 200u);
}

// Counts into a total it does not own, so that it can die as soon as its slot lets it go.
class CountingSink final : public LogSink {
public:
    explicit CountingSink(std::atomic<int>* total) : m_total(total) {}
    bool Wants(int level) override { return level > 0; }
    void Write(int, const char*) override { m_total->fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<int>* m_total;
};

// Sinks replaced while threads log and dropped by their owner at once: a replaced sink stays
// alive for the lines still on it (the ASan and TSan builds check that), no line is lost, and
// unwanted levels never reach Write.
TEST(LogSinkSlotTest, SinksSwappedWhileThreadsLogLoseNoLine) {
    std::atomic<int> written{0};
    CountingSink fallback(&written);
    LogSinkSlot slot(fallback);
    constexpr int kThreads = 4, kLines = 2000;
    std::atomic<int> wanted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kLines; ++i) {
                slot.Use([&](LogSink& sink) {
                    if (sink.Wants(i % 2)) {
                        wanted.fetch_add(1, std::memory_order_relaxed);
                        sink.Write(i % 2, "line");
                    }
                });
            }
        });
    }
    for (int s = 0; s < 200; ++s) {
        slot.Set(s % 3 == 0 ? nullptr : std::make_shared<CountingSink>(&written));
    }
    for (auto& t : threads) {
        t.join();
    }
    slot.Set(nullptr);
    EXPECT_EQ(wanted.load(), kThreads * kLines / 2);
    EXPECT_EQ(written.load(), wanted.load());
}

}  // namespace
}  // namespace platform
