// libFuzzer entry for flat configuration files: the input is the file. It is parsed and dumped,
// then a key is set: the two-call length contract of GetConfig must hold for it, and the dump
// must carry it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util/flat_config.h"
#include "input_file.h"

namespace {

std::string g_file;

void Fail(const char* what) {
    std::fprintf(stderr, "flat config: %s\n", what);
    std::abort();
}

std::string Dump(void* config) {
    char* text = nullptr;
    std::size_t length = 0;
    FILE* stream = open_memstream(&text, &length);
    if (stream == nullptr) Fail("no memory stream");
    if (DumpConfig(config, stream) != 1) Fail("dump failed");
    std::fclose(stream);
    std::string dump(text, length);
    std::free(text);
    return dump;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = twfuzz::InputFile::Path("fuzz.conf");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    twfuzz::InputFile::Write(g_file, data, size);

    void* config = OpenConfig(g_file.c_str());
    if (config == nullptr) Fail("an existing file did not open");
    Dump(config);

    if (SetConfig(config, "fuzz", "key", "value") != 1) Fail("set failed");
    char small[3];
    int length = sizeof small;
    if (GetConfig(config, "fuzz", "key", small, &length) != 0 || length != 5)
        Fail("short buffer not refused");
    char value[16];
    length = sizeof value;
    if (GetConfig(config, "fuzz", "key", value, &length) != 1 || length != 5 ||
        std::strcmp(value, "value") != 0) {
        Fail("set key does not read back");
    }
    if (Dump(config).find("key = value\n") == std::string::npos) Fail("set key missing from the dump");
    CloseConfig(config);
    return 0;
}
