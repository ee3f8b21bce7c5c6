// What the connector's tests share: a connector over an in-memory PC (its service answering the
// pipe), a recording driver and driver ring, a UI recorder, the settings of a private machine root
// and a timing profile in milliseconds. The tunnel link is the TLS library's unless a test hands
// in a scripted one.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "adapter_test_machine.h"
#include "datapath_fakes.h"
#include "engine/qel_connector.h"
#include "engine/worker_thread.h"
#include "platform/machine_root.h"
#include "platform/settings_store.h"
#include "testsupport/temp_root.h"
#include "testsupport/wait.h"

namespace engine::test {

inline EngineTiming FastTiming() {
    EngineTiming t;
    t.timerPeriodMs = 20;
    t.keepAliveMs = 60;
    t.lossMs = 400;
    t.tlsHandshakeMs = 5000;
    t.previousSessionCloseMs = 2000;
    t.previousSessionPollMs = 2;
    t.serverConnectMs = 3000;
    t.gatewayConnectMs = 3000;
    t.logonDataMs = 5000;
    t.relogonFailPauseMs = 1;
    t.registrationFailPauseMs = 1;
    t.registrationRetryMs = 5;
    t.registrationTries = 3;
    t.lossDecisionPollMs = 5;
    t.lossDecisionMs = 300;
    t.relogonFastMs = 20;
    t.relogonSlowMs = 50;
    t.relogonFastTries = 3;
    t.relogonMaxTries = 5;
    t.netCheckRoundMs = 50;
    t.netCheckBusyPollMs = 1;
    t.netCheckBusyPolls = 3;
    t.netCheckRebindPauseMs = 1;
    t.logoffCancelSettleMs = 1;
    t.logoffLogonPollMs = 5;
    t.logoffLogonPolls = 400;
    t.logoffOtherPollMs = 5;
    t.logoffOtherPolls = 400;
    t.logoffNoticeSettleMs = 1;
    t.disconnectSettleMs = 1;
    t.adapterPollMs = 1;
    t.adapterRebindMs = 2;
    t.adapterResetMs = 4;
    t.adapterEnableLimitMs = 50;
    t.adapterStaticIpMs = 5;
    t.adapterAddressLimitMs = 50;
    t.adapterRestartLimitMs = 50;
    t.adapterRestartPauseMs = 1;
    t.adapterRestartSettleMs = 1;
    t.resourceRouteSettleMs = 1;
    t.dataTestGapMs = 1;
    t.dataTestEndMs = 1;
    return t;
}

// The positions of `wanted` in `events`, in order; true when all were found one after the other.
inline bool InOrder(const std::vector<std::string>& events, const std::vector<std::string>& wanted) {
    auto it = events.begin();
    for (const auto& w : wanted) {
        it = std::find(it, events.end(), w);
        if (it == events.end()) return false;
        ++it;
    }
    return true;
}

inline std::string Joined(const std::vector<std::string>& events) {
    std::string all;
    for (const auto& e : events) all += "[" + e + "]";
    return all;
}

struct ConnectorRig {
    testsupport::TempRoot root{"qel-connector-test"};
    std::shared_ptr<platform::SettingsStore> settings;
    FakePc pc;
    FakeAdapterDriver driver{platform::SystemClock()};
    enginetest::FakePort port;
    RecordingUi ui;
    ConnectorDeps deps;
    std::vector<std::string> openedUrls;
    std::mutex urlLock;
    std::unique_ptr<TwQelConnector> connector;
    std::unique_ptr<TwWorkerThread> worker;

    ConnectorRig() {
        platform::ResetMachineRoot();
        settings = std::make_shared<platform::SettingsStore>(root.Path() + "/settings.db");
        const std::string key = "Software\\Morvane\\QelClient";
        settings->CreateKey(key);
        settings->SetDword(key, "UseStatic", 1);
        settings->SetDword(key, "NoResourcePage", 1);
        // Accepted gateway certificates go under the rig's own folder, never the current one.
        settings->SetString(key, "InstallDir", root.Path());
        deps.ui = &ui;
        deps.timing = FastTiming();
        deps.settings = settings;
        deps.driver = &driver;
        deps.port = &port;
        deps.routes = &pc.routes;
        deps.adapters = &pc.adapters;
        deps.sendCmd = [this](const std::string& c) { return pc.Send(c); };
        deps.sendRestart = [this](const std::string& c) { return pc.Send(c) == kNetshDone ? 0 : 8; };
        deps.hardwareId = [] { return std::string("0123456789abcdef0123456789abcdef|1|00-11-22-33-44-55"); };
        deps.routeFile = root.Path() + "/SystemRouteTable.dat";
        deps.sendProbe = [](DWORD, WORD, const std::string&) { return true; };
        deps.adapterSleep = [](DWORD) {};
        deps.openUrl = [this](const std::string& url) {
            std::lock_guard<std::mutex> g(urlLock);
            openedUrls.push_back(url);
            return true;
        };
        deps.predefinedServerFile.clear();
    }
    ~ConnectorRig() {
        Stop();
        platform::ResetMachineRoot();
    }
    // The worker goes first, once the connector no longer calls into it.
    void Stop() {
        if (connector) connector->DetachOwner();
        worker.reset();
        connector.reset();
    }
    void Set(const std::string& name, const std::string& value) {
        settings->SetString("Software\\Morvane\\QelClient", name, value);
    }
    void SetDword(const std::string& name, DWORD value) {
        settings->SetDword("Software\\Morvane\\QelClient", name, value);
    }
    void Server(const std::string& address, unsigned short serverPort) {
        Set("ServerAddr", address);
        SetDword("ServerPortNum", serverPort);
    }
    // A connector driven by a real worker thread.
    void Start() {
        connector = std::make_unique<TwQelConnector>(deps);
        worker = std::make_unique<TwWorkerThread>(*connector, ui, deps.timing);
        connector->SetOwner(*worker);
        ASSERT_TRUE(worker->InitializeWorkerThread());
    }
    ::testing::AssertionResult WaitStatus(int status, int ms = 15000) {
        return testsupport::WaitFor(
            "connector status " + std::to_string(status) + " (events " + Joined(ui.Events()) + ")",
            [&] { return connector->Status() == status; }, ms);
    }
    ::testing::AssertionResult WaitEvent(const std::string& event, int ms = 15000) {
        return testsupport::WaitFor(
            "UI event " + event + " (events " + Joined(ui.Events()) + ")",
            [&] {
                const auto e = ui.Events();
                return std::find(e.begin(), e.end(), event) != e.end();
            },
            ms);
    }
    // The logon ran to its end (the worker released its guard after a callback 0 or 1).
    ::testing::AssertionResult WaitLogonEnded(int ms = 15000) {
        return testsupport::WaitFor(
            "the logon to end (events " + Joined(ui.Events()) + ")",
            [&] {
                return !worker->LogonRunning() && connector->LogonInProgress().load() == 0 &&
                       !ui.Events().empty();
            },
            ms);
    }
};

}  // namespace engine::test
