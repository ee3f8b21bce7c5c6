// Named mutexes and events within one process and across processes, and the lifetime of names.
#include "platform/named_objects.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/errors.h"
#include "platform/machine_root.h"
#include "test_support.h"
#include "testsupport/command.h"

namespace platform {
namespace {

constexpr DWORD kBound = 10000;  // every wait for another process has this bound

class NamedObjectsTest : public ::testing::Test {
protected:
    testsupport::TempRoot root{"qel-platform"};

    // Starts a helper that holds an object and waits until it says so.
    pid_t StartHolder(const std::string& mode, const std::string& name) {
        auto ready = NamedEvent::Create("Global\\ready-" + name, true, false);
        EXPECT_TRUE(ready);
        if (!ready) {
            return -1;
        }
        pid_t pid = test::StartHelper({mode, name, "Global\\ready-" + name});
        EXPECT_GT(pid, 0);
        EXPECT_EQ(ready->Wait(kBound), kWaitObject0) << "helper never got " << name;
        return pid;
    }

    static void Kill(pid_t pid) {
        int code = 0;
        ASSERT_TRUE(KillProcess(pid, SIGKILL));
        ASSERT_EQ(WaitProcess(pid, kBound, &code), kWaitObject0);
        EXPECT_EQ(code, 128 + SIGKILL);
    }
};

TEST_F(NamedObjectsTest, MutexIsReentrantAndOwnedByOneThread) {
    auto m = NamedMutex::Create("Global\\VORNCLIENT_FILELOG");
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->AlreadyExisted());
    EXPECT_FALSE(m->Release());  // not owned yet
    EXPECT_EQ(GetLastError(), 288u);
    EXPECT_EQ(m->Wait(0), kWaitObject0);
    EXPECT_EQ(m->Wait(0), kWaitObject0);

    auto second = NamedMutex::Create("Global\\VORNCLIENT_FILELOG");
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->AlreadyExisted());
    DWORD other = 0;
    std::thread([&] { other = second->Wait(30); }).join();
    EXPECT_EQ(other, kWaitTimeout);

    EXPECT_TRUE(m->Release());
    std::thread([&] { other = second->Wait(30); }).join();
    EXPECT_EQ(other, kWaitTimeout) << "one Release of two Waits must keep it owned";
    EXPECT_TRUE(m->Release());
    EXPECT_FALSE(m->Release());
    std::thread([&] {
        other = second->Wait(kBound);
        second->Release();
    }).join();
    EXPECT_EQ(other, kWaitObject0);
}

TEST_F(NamedObjectsTest, ThreadsTakeTurnsOnTheMutex) {
    auto m = NamedMutex::Create("Global\\turns");
    ASSERT_TRUE(m);
    int counter = 0;  // guarded by the named mutex only
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                ASSERT_EQ(m->Wait(kBound), kWaitObject0);
                int seen = counter;
                counter = seen + 1;
                ASSERT_TRUE(m->Release());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 800);
}

TEST_F(NamedObjectsTest, AThreadThatEndsOwningLeavesTheMutexAbandoned) {
    auto m = NamedMutex::Create("Global\\thread-ends");
    ASSERT_TRUE(m);
    std::thread([&] { EXPECT_EQ(m->Wait(0), kWaitObject0); }).join();
    EXPECT_EQ(m->Wait(kBound), kWaitAbandoned);
    EXPECT_TRUE(m->Release());
    EXPECT_EQ(m->Wait(0), kWaitObject0);
    EXPECT_TRUE(m->Release());
}

TEST_F(NamedObjectsTest, MutexOfAKilledProcessIsObtainedAbandoned) {
    auto m = NamedMutex::Create("Global\\MorvaneQelCltRunning");
    ASSERT_TRUE(m);
    pid_t holder = StartHolder("hold-mutex", "Global\\MorvaneQelCltRunning");
    ASSERT_GT(holder, 0);
    EXPECT_EQ(m->Wait(50), kWaitTimeout);  // timed wait ends while the holder lives
    Kill(holder);
    EXPECT_EQ(m->Wait(kBound), kWaitAbandoned);
    EXPECT_TRUE(m->Release());
    EXPECT_EQ(m->Wait(0), kWaitObject0) << "a clean release is not abandoned";
    EXPECT_TRUE(m->Release());
}

TEST_F(NamedObjectsTest, ProcessesAndThreadsExcludeEachOther) {
    const std::string name = "Global\\counter";
    const std::string file = root.Path() + "/count.txt";
    constexpr int kEach = 100;
    pid_t a = test::StartHelper({"count", name, file, std::to_string(kEach)});
    pid_t b = test::StartHelper({"count", name, file, std::to_string(kEach)});
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    // Two threads here as well, one handle each.
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            auto m = NamedMutex::Create(name);
            ASSERT_TRUE(m);
            for (int i = 0; i < kEach; ++i) {
                ASSERT_EQ(m->Wait(kBound), kWaitObject0);
                long value = 0;
                std::ifstream(file) >> value;
                std::ofstream(file) << value + 1 << "\n";
                ASSERT_TRUE(m->Release());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    int codeA = -1;
    int codeB = -1;
    ASSERT_EQ(WaitProcess(a, 60000, &codeA), kWaitObject0);
    ASSERT_EQ(WaitProcess(b, 60000, &codeB), kWaitObject0);
    EXPECT_EQ(codeA, 0);
    EXPECT_EQ(codeB, 0);
    long total = 0;
    std::ifstream(file) >> total;
    EXPECT_EQ(total, 4 * kEach);
}

TEST_F(NamedObjectsTest, ExistsEndsWithTheLastHolder) {
    const std::string name = "Global\\MorvaneQelCltSetupRunning";
    EXPECT_FALSE(NamedObjectExists(name));
    pid_t holder = StartHolder("hold-event", name);
    ASSERT_GT(holder, 0);
    EXPECT_TRUE(NamedObjectExists(name));
    {
        auto mine = NamedEvent::Open(name);
        ASSERT_TRUE(mine);
        Kill(holder);
        EXPECT_TRUE(NamedObjectExists(name)) << "this process still holds it";
    }
    EXPECT_FALSE(NamedObjectExists(name));
    EXPECT_FALSE(NamedEvent::Open(name));
    EXPECT_EQ(GetLastError(), 2u);
}

TEST_F(NamedObjectsTest, InitiallyOwnedOnlyForTheCreator) {
    auto first = NamedMutex::Create("Global\\MorvaneQelCltUpdMutex", true);
    ASSERT_TRUE(first);
    EXPECT_FALSE(first->AlreadyExisted());
    EXPECT_TRUE(first->Release());
    auto again = NamedMutex::Create("Global\\MorvaneQelCltUpdMutex", true);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->AlreadyExisted());
    EXPECT_EQ(GetLastError(), 183u);
    EXPECT_FALSE(again->Release());
}

TEST_F(NamedObjectsTest, EachMachineRootHasItsOwnObjects) {
    auto here = NamedEvent::Create("Global\\per-root", true, true);
    ASSERT_TRUE(here);
    {
        testsupport::TempRoot other{"qel-platform"};
        EXPECT_FALSE(NamedObjectExists("Global\\per-root"));
        auto there = NamedEvent::Create("Global\\per-root", true, false);
        ASSERT_TRUE(there);
        EXPECT_FALSE(there->AlreadyExisted());
        EXPECT_EQ(there->Wait(0), kWaitTimeout);
    }
    ::setenv("QEL_ROOT", root.Path().c_str(), 1);
    platform::ResetMachineRoot();
}

TEST_F(NamedObjectsTest, AMutexAndAnEventCannotShareAName) {
    auto m = NamedMutex::Create("Global\\clash");
    ASSERT_TRUE(m);
    EXPECT_FALSE(NamedEvent::Create("Global\\clash", true, false));
    EXPECT_FALSE(NamedEvent::Open("Global\\clash"));
}

TEST_F(NamedObjectsTest, NamesCannotLeaveTheObjectFolder) {
    for (std::string name : {"Global\\..\\..\\escape", "../../escape", "a/b", "Global\\.hidden", ".."}) {
        auto m = NamedMutex::Create(name);
        ASSERT_TRUE(m) << name;
        EXPECT_TRUE(NamedObjectExists(name));
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.Path())) {
        std::string rel = std::filesystem::relative(entry.path(), root.Path()).string();
        EXPECT_TRUE(rel == "run" || rel == "run/objects" || rel.rfind("run/objects/obj-", 0) == 0) << rel;
    }
    EXPECT_FALSE(NamedMutex::Create(""));
    // Long names stay distinct even where their file names had to be shortened.
    std::string longA(400, '\\');
    std::string longB = longA + "b";
    auto a = NamedMutex::Create(longA);
    ASSERT_TRUE(a);
    EXPECT_FALSE(NamedObjectExists(longB));
    auto b = NamedMutex::Create(longB);
    ASSERT_TRUE(b);
    EXPECT_FALSE(b->AlreadyExisted());
}

TEST_F(NamedObjectsTest, ProgramsOfAnotherUserMeetTheSameObjects) {
    if (!testsupport::IsRoot()) {
        GTEST_SKIP() << "needs root to start a program as another user";
    }
    ASSERT_EQ(::chmod(root.Path().c_str(), 0755), 0);
    auto e = NamedEvent::Create("Global\\cross-user", true, false);
    ASSERT_TRUE(e);
    SpawnOptions asNobody;
    asNobody.uid = 65534;
    asNobody.gid = 65534;
    pid_t pid = Spawn({test::HelperPath(), "set-event", "Global\\cross-user"}, asNobody);
    ASSERT_GT(pid, 0);
    int code = -1;
    ASSERT_EQ(WaitProcess(pid, kBound, &code), kWaitObject0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(e->Wait(0), kWaitObject0);
}

TEST_F(NamedObjectsTest, AutoResetEventWakesOneWaiterPerSet) {
    auto e = NamedEvent::Create("Global\\auto", false, false);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Wait(0), kWaitTimeout);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            auto mine = NamedEvent::Open("Global\\auto");
            ASSERT_TRUE(mine);
            if (mine->Wait(kBound) == kWaitObject0) {
                ++woken;
            }
        });
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(e->Set());
        // Wait (bounded) until the flag was taken before setting again, so no Set is merged.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBound);
        while (woken.load() <= i && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
        }
    }
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(woken.load(), 4);
    EXPECT_EQ(e->Wait(0), kWaitTimeout);
}

TEST_F(NamedObjectsTest, ManualEventWorksAcrossProcesses) {
    const std::string name = "Global\\TerminateMorvaneBrevikEvent";
    auto e = NamedEvent::Create(name, true, false);
    ASSERT_TRUE(e);
    EXPECT_EQ(test::RunHelper({"wait-event", name, "20"}), 1);  // not set: the helper times out
    pid_t waiter = test::StartHelper({"wait-event", name, "20000"});
    ASSERT_GT(waiter, 0);
    EXPECT_EQ(test::RunHelper({"set-event", name}), 0);
    int code = -1;
    ASSERT_EQ(WaitProcess(waiter, kBound, &code), kWaitObject0);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(e->Wait(0), kWaitObject0);  // manual: still set
    EXPECT_EQ(e->Wait(0), kWaitObject0);
    EXPECT_TRUE(e->Reset());
    EXPECT_EQ(e->Wait(20), kWaitTimeout);
    EXPECT_EQ(test::RunHelper({"set-event", "Global\\nobody-holds-this"}), 3);
}

}  // namespace
}  // namespace platform
