#include "testsupport/temp_root.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace testsupport {

TempRoot::TempRoot(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) m_path = pattern;
    if (const char* old = std::getenv("QEL_ROOT")) {
        m_old = old;
        m_hadOld = true;
    }
    ::setenv("QEL_ROOT", m_path.c_str(), 1);
}

TempRoot::~TempRoot() {
    if (m_hadOld) {
        ::setenv("QEL_ROOT", m_old.c_str(), 1);
    } else {
        ::unsetenv("QEL_ROOT");
    }
    if (!m_path.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
}

}  // namespace testsupport
