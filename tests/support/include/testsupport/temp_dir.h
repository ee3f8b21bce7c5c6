// A fresh temporary folder for one test, removed with everything in it afterwards.
#pragma once
#include <string>

namespace testsupport {

class TempDir {
public:
    // Throws std::runtime_error when the folder cannot be made: a test must never go on with
    // an empty path (it would write into the current folder or the machine's own paths).
    explicit TempDir(const std::string& prefix = "qel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

}  // namespace testsupport
