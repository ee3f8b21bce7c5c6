#include "vorn/connector_factory.h"

#include <utility>

#include "platform/named_objects.h"
#include "vorn/main_dialog.h"

namespace vorn {

bool ConnectorPasswordTunnel::SendSsrPacketToPeer(const std::uint8_t* data, std::size_t size) {
    engine::TwQelConnector* connector = nullptr;
    {
        // Not held while sending: the TLS thread may be waiting here to deliver an answer.
        std::lock_guard<std::mutex> lock(m_mutex);
        connector = m_connector;
    }
    if (!connector || connector->Status() != engine::TW_CLT_STATUS_GW_CERTIFIED) return false;
    connector->SendSsrPacketToPeer(data, size);
    return true;
}

void ConnectorPasswordTunnel::SetPasswordChangeListener(engine::PasswordChangeListener* listener) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_listener = listener;
}

void ConnectorPasswordTunnel::Deliver(int result, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_listener) m_listener->PasswordChangeResult(result, text);
}

void ConnectorPasswordTunnel::Bind(engine::TwQelConnector* connector) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connector = connector;
}

std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::UiSink& ui,
                                                          const engine::EngineTiming& timing,
                                                          ConnectorPasswordTunnel* passwords) {
    return CreateConnector(engine::ConnectorDeps{}, ui, timing, passwords);
}

std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::ConnectorDeps base, engine::UiSink& ui,
                                                          const engine::EngineTiming& timing,
                                                          ConnectorPasswordTunnel* passwords) {
    base.ui = &ui;
    base.timing = timing;
    // The user chose to quit at a refused relogon: the watchdog ends the client, as any stop
    // request would.
    if (!base.stopClient) {
        base.stopClient = [] {
            if (auto stop = platform::NamedEvent::Open(kStopClientEvent)) stop->Set();
        };
    }
    if (passwords) {
        base.passwordChanged = [passwords](int result, const std::string& text) {
            passwords->Deliver(result, text);
        };
    }
    auto connector = std::make_unique<engine::TwQelConnector>(std::move(base));
    if (passwords) passwords->Bind(connector.get());
    return connector;
}

void AttachWorker(engine::ConnectorControl& connector, engine::TwWorkerThread& worker) {
    if (auto* qel = dynamic_cast<engine::TwQelConnector*>(&connector)) qel->SetOwner(worker);
}

void DetachWorker(engine::ConnectorControl& connector) {
    if (auto* qel = dynamic_cast<engine::TwQelConnector*>(&connector)) qel->SetOwner({}, {}, nullptr);
}

}  // namespace vorn
