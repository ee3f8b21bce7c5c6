// The one place where the client's connector is made. The program calls CreateConnector; the
// connector keeps `ui` for its callbacks, so the UI bridge must outlive it. AttachWorker hands
// the connector the worker that drives it (relogon, logoff and forced logoff go there) before the
// worker starts it.
#pragma once
#include <memory>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/qel_connector.h"
#include "engine/ui_sink.h"
#include "engine/worker_thread.h"

namespace vorn {

// The tunnel connector over the machine's own devices, service pipe and settings.
std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::UiSink& ui,
                                                          const engine::EngineTiming& timing);
// The same over `base`, whose set members replace the machine's own (tests: the in-memory PC's
// service, a recording driver). `ui` and `timing` are always the arguments.
std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::ConnectorDeps base, engine::UiSink& ui,
                                                          const engine::EngineTiming& timing);

// Connects a connector made here to its worker; any other connector needs nothing.
void AttachWorker(engine::ConnectorControl& connector, engine::TwWorkerThread& worker);
// Before the worker goes: the connector's relogon and logoff requests reach nobody.
void DetachWorker(engine::ConnectorControl& connector);

}  // namespace vorn
