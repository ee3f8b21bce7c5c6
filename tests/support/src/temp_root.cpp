#include "testsupport/temp_root.h"

#include <cstdlib>

#include "platform/machine_root.h"

namespace testsupport {

TempRoot::TempRoot(const std::string& prefix) : m_dir(prefix) {
    if (const char* old = std::getenv("QEL_ROOT")) {
        m_old = old;
        m_hadOld = true;
    }
    ::setenv("QEL_ROOT", m_dir.Path().c_str(), 1);
    platform::ResetMachineRoot();
}

TempRoot::~TempRoot() {
    if (m_hadOld) {
        ::setenv("QEL_ROOT", m_old.c_str(), 1);
    } else {
        ::unsetenv("QEL_ROOT");
    }
    platform::ResetMachineRoot();
}

}  // namespace testsupport
