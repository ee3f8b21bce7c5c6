// The state machine's implementation against the socket engine's callbacks: a callback that
// races with the destruction of the last facade must find the object gone, never revive it.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "prendle/socket_client.h"
#include "state_machine_impl.h"
#include "tamberk/ssl_state_machine.h"
#include "test_certs.h"

using namespace tamberk::test;

namespace {

struct Bound {
    TwSslStateMachine machine;
    void* context = nullptr;

    // Binding an already initialised socket client only replaces its callback.
    Bound(TwSocketClient* socketClient, const std::string& caFile) {
        machine.Initialize(TW_SSL_PROTOCOL_TLSV1, nullptr);
        if (machine.BindToSocketClient(socketClient, nullptr, caFile.c_str()) == 1)
            context = static_cast<TwSslStateMachineImpl*>(machine.GetSslAPI());
    }
};

// A message the implementation answers without touching any socket: it comes from a manager
// it is not bound to.
unsigned long Poke(void* context, TwSocketManager* stranger) {
    _TwMessage message;
    message.code = TW_MSG_SERVER_START;
    message.userContext = context;
    return TwSslStateMachineImpl::SocketCallback(stranger, &message);
}

TEST(StateMachineLifetime, CallbacksRacingTheLastReleaseNeverReviveTheObject) {
    TempDir dir;
    CertKey ca = MakeCert("Lifetime Root", nullptr, true);
    const std::string caFile = dir.File("root.pem");
    WritePem(caFile, ca, false);
    SharedObjectPtr<TwSocketClient> strangerClient = TwSocketClient::CreateSockClient();
    TwSocketManager* stranger = strangerClient.get();

    // Destroyed without Terminate while another thread keeps calling in; under ASan a revived
    // object shows as a use after free or a double delete.
    SharedObjectPtr<TwSocketClient> socketClient = TwSocketClient::CreateSockClient();
    for (int round = 0; round < 200; ++round) {
        auto bound = std::make_unique<Bound>(socketClient.get(), caFile);
        ASSERT_NE(bound->context, nullptr) << "bind failed in round " << round;
        void* context = bound->context;
        std::atomic<int> calls{0};
        std::atomic<bool> stop{false};
        std::thread caller([&] {
            while (!stop.load()) {
                Poke(context, stranger);
                calls.fetch_add(1);
            }
        });
        while (calls.load() < 3) std::this_thread::yield();
        bound.reset();
        stop.store(true);
        caller.join();
        // Gone for good: later callbacks are answered without the object.
        EXPECT_EQ(Poke(context, stranger), static_cast<unsigned long>(TW_SUCCEED));
    }
}

TEST(StateMachineLifetime, CopiesShareOneImplementationThatOutlivesTheFirstFacade) {
    TempDir dir;
    CertKey ca = MakeCert("Lifetime Root", nullptr, true);
    const std::string caFile = dir.File("root.pem");
    WritePem(caFile, ca, false);
    SharedObjectPtr<TwSocketClient> socketClient = TwSocketClient::CreateSockClient();
    auto bound = std::make_unique<Bound>(socketClient.get(), caFile);
    ASSERT_NE(bound->context, nullptr);
    TwSslStateMachine copy = bound->machine;
    EXPECT_EQ(copy.GetSslAPI(), bound->machine.GetSslAPI());
    bound.reset();
    // The copy still answers and can still be terminated.
    EXPECT_EQ(copy.GetSslAPI()->SetCipherList("HIGH"), 1);
    EXPECT_EQ(copy.Terminate(), 1);
}

}  // namespace
