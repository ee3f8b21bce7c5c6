#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "test_signal.h"
#include "util/shared_object.h"

namespace {

std::atomic<int> g_destroyed{0};
std::atomic<int> g_preShutdowns{0};
std::atomic<int> g_postShutdowns{0};

class Probe : public SharedObject {
public:
    Probe() : SharedObject("Probe") {}
    ~Probe() override { ++g_destroyed; }
    void PreShutdown() override { ++g_preShutdowns; }
    void PostShutdown() override { ++g_postShutdowns; }
};

class SharedObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_destroyed = 0;
        g_preShutdowns = 0;
        g_postShutdowns = 0;
    }
};

TEST_F(SharedObjectTest, NewObjectStartsIdleAndValid) {
    Probe* p = new Probe;
    EXPECT_EQ(p->IsIdle(), 1);
    EXPECT_EQ(p->IsValid(), 1);
    EXPECT_STREQ(p->Name(), "Probe");
    p->Invalid();
    EXPECT_EQ(p->IsValid(), 0);
    // Never put in a pointer: the count stays 0 and nothing deletes it automatically.
    EXPECT_EQ(g_destroyed.load(), 0);
    delete p;
}

TEST_F(SharedObjectTest, NamesDefaultToUnknown) {
    SharedObject unnamed;
    EXPECT_STREQ(unnamed.Name(), "Unknown");
    SharedObject nullName(nullptr);
    EXPECT_STREQ(nullName.Name(), "Unknown");
    EXPECT_EQ(nullName.IsValid(), 0);  // a null name counts as unhealthy
}

TEST_F(SharedObjectTest, LastReleaseRunsShutdownSequenceOnce) {
    {
        SharedObjectPtr<Probe> a(new Probe);
        SharedObjectPtr<Probe> b(a);
        EXPECT_EQ(a->AddRef(), 3UL);
        EXPECT_EQ(a->Release(), 2UL);
    }
    EXPECT_EQ(g_preShutdowns.load(), 1);
    EXPECT_EQ(g_postShutdowns.load(), 1);
    EXPECT_EQ(g_destroyed.load(), 1);
}

TEST_F(SharedObjectTest, SelfAssignmentKeepsObjectAndCount) {
    SharedObjectPtr<Probe> a(new Probe);
    SharedObjectPtr<Probe>& alias = a;
    a = alias;
    a = a.get();
    EXPECT_EQ(g_destroyed.load(), 0);
    EXPECT_EQ(a->AddRef(), 2UL);  // still exactly one reference held by `a`
    a->Release();
}

TEST_F(SharedObjectTest, ReassignmentReleasesOldObject) {
    SharedObjectPtr<Probe> a(new Probe);
    a = new Probe;
    EXPECT_EQ(g_destroyed.load(), 1);
    a = nullptr;
    EXPECT_EQ(g_destroyed.load(), 2);
    EXPECT_FALSE(a);
}

TEST_F(SharedObjectTest, PointerToDerivedConvertsToBase) {
    SharedObjectPtr<Probe> derived(new Probe);
    SharedObjectPtr<SharedObject> base(derived);
    derived = nullptr;
    EXPECT_EQ(g_destroyed.load(), 0);
    base = nullptr;
    EXPECT_EQ(g_destroyed.load(), 1);
}

TEST_F(SharedObjectTest, ReleaseAfterGetIdleEventOnlySignals) {
    Probe* p = new Probe;
    p->AddRef();
    platform::Event* idle = p->GetIdleEvent();
    ASSERT_NE(idle, nullptr);
    EXPECT_EQ(idle->Wait(0), platform::kWaitTimeout);
    EXPECT_EQ(p->Release(), 0UL);
    EXPECT_EQ(idle->Wait(1000), platform::kWaitObject0);
    EXPECT_EQ(g_destroyed.load(), 0);  // the waiter finishes the object
    p->WaitIdle();
    delete p;
    EXPECT_EQ(g_destroyed.load(), 1);
}

TEST_F(SharedObjectTest, WaitIdleReturnsWhenOtherThreadReleases) {
    Probe* p = new Probe;
    p->AddRef();
    // The waiter announces itself before the last reference can go; from then on it, not the
    // releasing thread, finishes the object.
    ASSERT_NE(p->GetIdleEvent(), nullptr);
    std::atomic<bool> released{false};
    std::thread other([&] {
        released = true;
        p->Release();
    });
    p->WaitIdle();
    EXPECT_TRUE(released.load());
    other.join();
    EXPECT_EQ(g_destroyed.load(), 0);
    delete p;
}

TEST_F(SharedObjectTest, AsyncShutdownRunsOnAnotherThread) {
    TestSignal done;
    class Signalling : public SharedObject {
    public:
        explicit Signalling(TestSignal* s) : m_signal(s) {}
        ~Signalling() override { m_signal->Set(); }

    private:
        TestSignal* m_signal;
    };
    auto* s = new Signalling(&done);
    s->Shutdown(1);
    EXPECT_TRUE(done.Wait(5000));
}

TEST_F(SharedObjectTest, ConcurrentAddRefReleaseEndsWithOneShutdown) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    for (int trial = 0; trial < 5; ++trial) {
        g_destroyed = 0;
        g_preShutdowns = 0;
        auto* p = new Probe;
        std::vector<SharedObjectPtr<Probe>> holders(kThreads, SharedObjectPtr<Probe>(p));
        std::vector<std::thread> threads;
        for (std::size_t t = 0; t < kThreads; ++t) {
            threads.emplace_back([&holders, t] {
                SharedObjectPtr<Probe> mine;
                mine = holders[t];
                holders[t] = nullptr;
                for (int i = 0; i < kRounds; ++i) {
                    SharedObjectPtr<Probe> copy(mine);
                    copy->AddRef();
                    copy->Release();
                }
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(g_preShutdowns.load(), 1);
        EXPECT_EQ(g_destroyed.load(), 1);
    }
}

TEST_F(SharedObjectTest, WaitAllIdleReturnsOnceEveryObjectIsGone) {
    { SharedObjectPtr<Probe> p(new Probe); }
    // Detached, so a wait that never ends fails the test instead of hanging it.
    auto done = std::make_shared<TestSignal>();
    std::thread([done] {
        SharedObject::WaitAllIdle();
        done->Set();
    }).detach();
    EXPECT_TRUE(done->Wait(10000));
}

TEST(SynchronizerTest, NullOrEmptySectionDoesNothing) {
    { Synchronizer lock(static_cast<TwCriticalSection*>(nullptr)); }
    TwCriticalSection empty;
    { Synchronizer lock(&empty); }
    empty.Enter();
    empty.Leave();
    SUCCEED();
}

TEST(SynchronizerTest, SectionExcludesOtherThreadsAndIsRecursive) {
    TwCriticalSection section;
    ASSERT_EQ(section.Initialize(), 1UL);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                Synchronizer outer(&section);
                Synchronizer inner(&section);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
}

TEST(SynchronizerTest, ObjectFormUsesTheObjectsLock) {
    SharedObject object("Guarded");
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                Synchronizer lock(&object);
                ++counter;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000);
}

}  // namespace
