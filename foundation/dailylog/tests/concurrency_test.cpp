// Several threads and several processes writing one daily log at once: no line lost or torn.
// Also a holder that dies with the mutex, one that keeps it past the wait, and a level table
// changed by another program.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <regex>
#include <thread>
#include <vector>

#include "log_fixture.h"
#include "platform/named_objects.h"

namespace dailylog_test {
namespace {

constexpr DWORD kProcessWaitMs = 60000;
constexpr int kPayload = 600;  // long lines make torn writes easy to spot

class Concurrency : public DailyLogTest {
protected:
    static std::string Writer() { return platform::ProgramDir() + "/dailylog_test_writer"; }

    // Every line of every daily file, checked for shape; returns the count per tag and index.
    std::map<std::pair<std::string, int>, int> ReadAllLines(int* badLines) {
        static const std::regex kLine(
            R"(\d\d:\d\d:\d\d\.\d{3} \[[A-Za-z0-9_]+,\d+,\d+\] \(00000040, 1\) ([a-z0-9]+) (\d+) (x+))");
        std::map<std::pair<std::string, int>, int> seen;
        *badLines = 0;
        for (const auto& e : fs::directory_iterator(LogDir())) {
            const std::string content = ReadLog(e.path().filename().string());
            std::size_t pos = 0;
            while (pos < content.size()) {
                const std::size_t end = content.find("\r\n", pos);
                if (end == std::string::npos) {
                    ++*badLines;  // a line without its CR LF
                    break;
                }
                const std::string line = content.substr(pos, end - pos);
                std::smatch m;
                if (std::regex_match(line, m, kLine) && m[3].length() == kPayload) {
                    ++seen[{m[1].str(), std::stoi(m[2].str())}];
                } else {
                    ++*badLines;
                }
                pos = end + 2;
            }
        }
        return seen;
    }

    void ExpectEveryLineOnce(const std::vector<std::string>& tags, int perTag) {
        int bad = 0;
        const auto seen = ReadAllLines(&bad);
        EXPECT_EQ(bad, 0);
        EXPECT_EQ(seen.size(), tags.size() * static_cast<std::size_t>(perTag));
        for (const auto& tag : tags) {
            for (int i = 0; i < perTag; ++i) {
                auto it = seen.find({tag, i});
                ASSERT_TRUE(it != seen.end()) << tag << " " << i << " lost";
                ASSERT_EQ(it->second, 1) << tag << " " << i << " duplicated";
            }
        }
    }
};

TEST_F(Concurrency, FourThreadsLoseAndTearNoLine) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    constexpr int kLines = 300;
    const std::string payload(kPayload, 'x');
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (std::size_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const std::string tag = "t" + std::to_string(t);
            for (int i = 0; i < kLines; ++i) {
                if (log->Write(LOG_ALWAYS_40, 1, "%s %d %s", tag.c_str(), i, payload.c_str()) <= 0)
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    ExpectEveryLineOnce({"t0", "t1", "t2", "t3"}, kLines);
}

TEST_F(Concurrency, TwoProcessesAndThisOneLoseAndTearNoLine) {
    constexpr int kLines = 400;
    const std::string startName = "Global\\dailylog-test-start";
    auto start = platform::NamedEvent::Create(startName, true, false);
    ASSERT_TRUE(start);
    std::vector<pid_t> children;
    for (const char* tag : {"pa", "pb"}) {
        const pid_t pid = platform::Spawn(
            {Writer(), "write", tag, std::to_string(kLines), std::to_string(kPayload), startName});
        ASSERT_GT(pid, 0) << "cannot start " << Writer();
        children.push_back(pid);
    }
    auto log = SharedDailyLog::CreateForTest();  // the other programs run on the system clock
    const std::string payload(kPayload, 'x');
    start->Set();
    int failures = 0;
    for (int i = 0; i < kLines; ++i) {
        if (log->Write(LOG_ALWAYS_40, 1, "%s %d %s", "me", i, payload.c_str()) <= 0) ++failures;
    }
    for (pid_t pid : children) {
        int code = -1;
        ASSERT_EQ(platform::WaitProcess(pid, kProcessWaitMs, &code), platform::kWaitObject0);
        EXPECT_EQ(code, 0);
    }
    EXPECT_EQ(failures, 0);
    ExpectEveryLineOnce({"pa", "pb", "me"}, kLines);
}

TEST_F(Concurrency, AMutexLeftByADeadHolderIsObtained) {
    int code = -1;
    const pid_t pid = platform::Spawn({Writer(), "abandon"});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(platform::WaitProcess(pid, kProcessWaitMs, &code), platform::kWaitObject0);
    ASSERT_EQ(code, 0);
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_GT(log->Write(LOG_ALWAYS_40, 4, "after the holder died"), 0);
}

// The 3 s wait for the log's mutex is counted on the log's clock: the line is given up once the
// clock has moved 3 s, in a moment of real time.
TEST_F(Concurrency, AStuckHolderCostsOneLineAfterThreeSeconds) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    const std::string readyName = "Global\\dailylog-test-ready",
                      releaseName = "Global\\dailylog-test-release";
    auto ready = platform::NamedEvent::Create(readyName, true, false);
    auto release = platform::NamedEvent::Create(releaseName, true, false);
    ASSERT_TRUE(ready && release);
    const pid_t pid = platform::Spawn({Writer(), "hold", readyName, releaseName});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(ready->Wait(kProcessWaitMs), platform::kWaitObject0);

    const auto before = std::chrono::steady_clock::now();
    const std::uint64_t start = m_clock.TickMs();
    auto lost = std::async(std::launch::async, [&] { return log->Write(LOG_ALWAYS_40, 4, "lost"); });
    // Big steps: the log's 3 s pass in a few real milliseconds, far from the 3 real seconds that
    // a wait on the wrong clock would take.
    for (int i = 0; i < 1000 && lost.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready;
         ++i) {
        m_clock.Advance(500);
    }
    ASSERT_EQ(lost.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the line did not give up the mutex wait";
    EXPECT_EQ(lost.get(), 0);
    EXPECT_GE(m_clock.TickMs() - start, 3000u) << "the line was given up before 3 s of the log's clock";
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(2900))
        << "the wait took real seconds";

    release->Set();
    int code = -1;
    ASSERT_EQ(platform::WaitProcess(pid, kProcessWaitMs, &code), platform::kWaitObject0);
    EXPECT_EQ(code, 0);
    EXPECT_GT(log->Write(LOG_ALWAYS_40, 4, "kept"), 0);
    EXPECT_EQ(ReadLog("LogFile-20260314.log").find("lost"), std::string::npos);
}

// Any local user may take the log's mutex and keep it: "nobody" doing so costs this process one
// line, not a wait per line. The lines after it are written at once, without moving the log's
// clock, and the mutex serves again once it is let go.
TEST_F(Concurrency, AMutexAnotherUserKeepsCostsOneLineNotAWaitPerLine) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the holder as another user";
    ASSERT_EQ(::chmod(m_root.c_str(), 0755), 0);  // the other user reaches the machine's objects
    auto log = SharedDailyLog::CreateForTest(m_clock);
    const std::string readyName = "Global\\dailylog-test-ready",
                      releaseName = "Global\\dailylog-test-release";
    auto ready = platform::NamedEvent::Create(readyName, true, false);
    auto release = platform::NamedEvent::Create(releaseName, true, false);
    ASSERT_TRUE(ready && release);
    const pid_t pid = platform::Spawn({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                       Writer(), "hold", readyName, releaseName});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(ready->Wait(kProcessWaitMs), platform::kWaitObject0);

    auto lost = std::async(std::launch::async, [&] { return log->Write(LOG_ALWAYS_40, 4, "lost"); });
    for (int i = 0; i < 1000 && lost.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready;
         ++i) {
        m_clock.Advance(500);
    }
    ASSERT_EQ(lost.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(lost.get(), 0);
    // The clock stands still now: a line that waited for the mutex again would never end.
    auto next = std::async(std::launch::async, [&] {
        int written = 0;
        for (int i = 0; i < 20; ++i) written += log->Write(LOG_ALWAYS_40, 4, "while kept %d", i) > 0 ? 1 : 0;
        return written;
    });
    // (The holder gives up after 20 s of its own: the guard below ends well before.)
    const bool ended = next.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!ended) release->Set();  // lets the waits end
    ASSERT_TRUE(ended) << "each line waited for the kept mutex";
    EXPECT_EQ(next.get(), 20);

    release->Set();
    int code = -1;
    ASSERT_EQ(platform::WaitProcess(pid, kProcessWaitMs, &code), platform::kWaitObject0);
    EXPECT_EQ(code, 0);
    EXPECT_GT(log->Write(LOG_ALWAYS_40, 4, "kept"), 0);
    const std::string text = ReadLog("LogFile-20260314.log");
    EXPECT_EQ(text.find("lost"), std::string::npos);
    EXPECT_NE(text.find("while kept 0\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("while kept 19\r\n"), std::string::npos) << text;
}

TEST_F(Concurrency, ALevelChangedByAnotherProgramTakesEffectWithinASecond) {
    auto log = SharedDailyLog::CreateForTest(m_clock);
    EXPECT_FALSE(log->ShouldLog(LOG_CLIENT_LOGIN, 2));  // default threshold, now cached
    int code = -1;
    const pid_t pid = platform::Spawn({Writer(), "level", "clientlogin", "2"});
    ASSERT_GT(pid, 0);
    ASSERT_EQ(platform::WaitProcess(pid, kProcessWaitMs, &code), platform::kWaitObject0)
        << "the level writer did not finish";
    ASSERT_EQ(code, 0);

    // Filtered calls are served from the cache until a second has passed on the log's clock.
    m_clock.Advance(999);
    EXPECT_FALSE(log->ShouldLog(LOG_CLIENT_LOGIN, 2));
    m_clock.Advance(1);
    EXPECT_TRUE(log->ShouldLog(LOG_CLIENT_LOGIN, 2));
    EXPECT_GT(log->Write(LOG_CLIENT_LOGIN, 2, "logged after the change"), 0);
}

}  // namespace
}  // namespace dailylog_test
