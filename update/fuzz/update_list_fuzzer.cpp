// The update list reader over arbitrary file contents: it must refuse or accept, never crash,
// and every list it accepts stays inside its buffer and names files of its folders only.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "update_list.h"
#include "glimrow/glimrow.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        char tmpl[] = "/tmp/qel-listfuzz-XXXXXX";
        int fd = ::mkstemp(tmpl);
        if (fd >= 0) ::close(fd);
        return std::string(tmpl);
    }();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
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
