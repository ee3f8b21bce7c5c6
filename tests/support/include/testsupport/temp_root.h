// A private machine root for one test: QEL_ROOT names a fresh temporary folder for the object's
// lifetime; afterwards the previous QEL_ROOT (or none) is back and the folder is gone.
#pragma once
#include <string>

#include "testsupport/temp_dir.h"

namespace testsupport {

class TempRoot {
public:
    // Throws like TempDir when the folder cannot be made.
    explicit TempRoot(const std::string& prefix = "qel-test");
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& Path() const { return m_dir.Path(); }

private:
    TempDir m_dir;
    std::string m_old;
    bool m_hadOld = false;
};

}  // namespace testsupport
