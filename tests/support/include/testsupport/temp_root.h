// A private machine root for one test: QEL_ROOT names a fresh temporary folder for the object's
// lifetime; afterwards the previous QEL_ROOT (or none) is back and the folder is gone.
#pragma once
#include <string>

namespace testsupport {

class TempRoot {
public:
    explicit TempRoot(const std::string& prefix = "qel-test");
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    // Empty when the folder could not be made.
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::string m_old;
    bool m_hadOld = false;
};

}  // namespace testsupport
