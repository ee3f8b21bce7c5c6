// The one place where the client's connector is made. main() calls CreateConnector; the
// connector keeps `ui` for its callbacks, so the UI bridge must outlive it.
#pragma once
#include <memory>

#include "engine/connector_control.h"
#include "engine/engine_timing.h"
#include "engine/ui_sink.h"

namespace vorn {

std::unique_ptr<engine::ConnectorControl> CreateConnector(engine::UiSink& ui,
                                                          const engine::EngineTiming& timing);

}  // namespace vorn
