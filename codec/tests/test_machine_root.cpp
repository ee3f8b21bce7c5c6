// Every codec test runs on a machine root of its own: the diagnostic lines go through the shared
// daily log, which reads its level table from the machine's settings store.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

class TestMachineRoot {
  public:
    TestMachineRoot() {
        char pattern[] = "/tmp/wendrel-test-XXXXXX";
        if (const char* dir = mkdtemp(pattern); dir != nullptr) {
            m_path = dir;
            setenv("QEL_ROOT", dir, 1);
        }
    }
    ~TestMachineRoot() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }

  private:
    std::string m_path;
};

const TestMachineRoot g_root;

}  // namespace
