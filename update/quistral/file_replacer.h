// Replacing the installed files with those of the unpacked package as one set: every new file
// is first copied beside its target, then the targets are swapped; when any step fails, the
// targets already swapped get their old files back, so the installation stays whole.
// Not thread-safe; one object per update.
#pragma once
#include <functional>
#include <string>
#include <vector>

namespace quistral {

struct Replacement {
    std::string target;
    std::string source;
};

class FileReplacer {
public:
    // `suffix` names the old files kept during the swap ("%08x" of the program's start time).
    // `move` is rename(2) unless a test gives another.
    explicit FileReplacer(std::string suffix,
                          std::function<bool(const std::string&, const std::string&)> move = {});

    void Add(const std::string& target, const std::string& source) { m_items.push_back({target, source}); }
    // true when every target now holds its new file. On false every target is as before and
    // Failed() names the file that failed.
    bool Apply();
    const std::string& Failed() const { return m_failed; }

private:
    bool Stage(const Replacement& r, const std::string& staged);
    void RollBack(std::size_t swapped);

    std::string m_suffix;
    std::function<bool(const std::string&, const std::string&)> m_move;
    std::vector<Replacement> m_items;
    std::vector<bool> m_hadOld;
    std::string m_failed;
};

}  // namespace quistral
