// Every service test runs under a machine root of its own, so that its log lines, settings and
// files never reach the machine's.
#include <gtest/gtest.h>

#include <memory>

#include "testsupport/temp_root.h"

namespace {

class MachineRootEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { m_root = std::make_unique<testsupport::TempRoot>("qel-service-test"); }
    void TearDown() override { m_root.reset(); }

private:
    std::unique_ptr<testsupport::TempRoot> m_root;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new MachineRootEnvironment);

}  // namespace
