// The update list reader over arbitrary file contents: it must refuse or accept, never crash,
// and every list it accepts stays inside its buffer and names files of its folders only.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "glimrow/glimrow.h"
#include "input_file.h"
#include "update_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A private folder, removed when the process ends (no stray file per run in /tmp).
    const std::string& path = twfuzz::InputFile::Path("UpdateList.txt");
    twfuzz::InputFile::Write(path, data, size);
    CIniParser list("/opt/prog/", "/var/lib/qel/system");
    if (list.ReadFile(path) != 0) return 0;
    for (unsigned long bit : {UPDATE_COMP_APP, UPDATE_COMP_LSP, UPDATE_COMP_DRV, UPDATE_COMP_SRV}) {
        const char* p = list.List(bit);
        if (!p) continue;
        while (*p) {
            std::string entry(p);
            std::string name = entry.substr(0, entry.find('='));
            std::string target = entry.substr(entry.find('=') + 1);
            if (!IsPlainFileName(name) || target.find("/../") != std::string::npos) std::abort();
            if (target.rfind("/opt/prog/", 0) != 0 && target.rfind("/var/lib/qel/system/", 0) != 0)
                std::abort();
            p += entry.size() + 1;
        }
    }
    return 0;
}
