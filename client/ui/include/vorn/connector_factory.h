// The one place where the client's connector is made. The program calls CreateConnector; the
// connector keeps `ui` for its callbacks, so the UI bridge must outlive it. AttachWorker hands
// the connector the worker that drives it (relogon, logoff and forced logoff go there) before the
// worker starts it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/password_change.h"
#include "engine/qel_connector.h"
#include "engine/ui_sink.h"
#include "engine/worker_thread.h"

namespace vorn {

// The change-password window's way into the tunnel of a connector made here: requests go out
// through the connector while it is online, the gateway's answers (on the connector's TLS
// thread) reach the listener. Made before the connector and kept until after it.
// Thread-safety: every call from any thread.
class ConnectorPasswordTunnel final : public engine::PasswordChangeTunnel {
public:
    bool SendSsrPacketToPeer(const std::uint8_t* data, std::size_t size) override;
    void SetPasswordChangeListener(engine::PasswordChangeListener* listener) override;
    // The connector's answer; passed on under the lock, so a removed listener hears nothing more.
    void Deliver(int result, const std::string& text);
    void Bind(engine::TwQelConnector* connector);

private:
    std::mutex m_mutex;
    engine::TwQelConnector* m_connector = nullptr;
    engine::PasswordChangeListener* m_listener = nullptr;
};

// The tunnel connector over the machine's own devices, service pipe and settings; `passwords`,
// when given, carries the password change.
std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::UiSink& ui,
                                                          const engine::EngineTiming& timing,
                                                          ConnectorPasswordTunnel* passwords = nullptr);
// The same over `base`, whose set members replace the machine's own (tests: the in-memory PC's
// service, a recording driver). `ui` and `timing` are always the arguments.
std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::ConnectorDeps base, engine::UiSink& ui,
                                                          const engine::EngineTiming& timing,
                                                          ConnectorPasswordTunnel* passwords = nullptr);

// Connects a connector made here to its worker; any other connector needs nothing.
void AttachWorker(engine::ConnectorControl& connector, engine::TwWorkerThread& worker);
// Before the worker goes: the connector's relogon and logoff requests reach nobody.
void DetachWorker(engine::ConnectorControl& connector);

}  // namespace vorn
