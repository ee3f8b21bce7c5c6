#include "vorn/connector_factory.h"

#include <utility>

#include "platform/named_objects.h"
#include "vorn/main_dialog.h"

namespace vorn {

std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::UiSink& ui,
                                                          const engine::EngineTiming& timing) {
    return CreateConnector(engine::ConnectorDeps{}, ui, timing);
}

std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::ConnectorDeps base, engine::UiSink& ui,
                                                          const engine::EngineTiming& timing) {
    base.ui = &ui;
    base.timing = timing;
    // The user chose to quit at a refused relogon: the watchdog ends the client, as any stop
    // request would.
    if (!base.stopClient) {
        base.stopClient = [] {
            if (auto stop = platform::NamedEvent::Open(kStopClientEvent)) stop->Set();
        };
    }
    return std::make_unique<engine::TwQelConnector>(std::move(base));
}

void AttachWorker(engine::ConnectorControl& connector, engine::TwWorkerThread& worker) {
    if (auto* qel = dynamic_cast<engine::TwQelConnector*>(&connector)) qel->SetOwner(worker);
}

void DetachWorker(engine::ConnectorControl& connector) {
    if (auto* qel = dynamic_cast<engine::TwQelConnector*>(&connector)) qel->SetOwner({}, {}, nullptr);
}

}  // namespace vorn
