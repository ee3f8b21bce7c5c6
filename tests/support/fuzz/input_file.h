// For fuzz targets whose parser reads a file: each input is written to one file in a private
// temporary folder, which is removed when the process ends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace twfuzz {

class InputFile {
public:
    // Creates the folder (once per process); `name` is the file's name inside it.
    static const std::string& Path(const char* name) {
        static const std::string path = Create(name);
        return path;
    }

    // Replaces the file's content with the input; aborts when it cannot.
    static void Write(const std::string& path, const std::uint8_t* data, std::size_t size) {
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr || (size != 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write the input file %s\n", path.c_str());
            std::abort();
        }
    }

private:
    static std::string Create(const char* name) {
        static std::string dir = (std::filesystem::temp_directory_path() / "tw-fuzz-XXXXXX").string();
        if (mkdtemp(dir.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] { std::filesystem::remove_all(dir); });
        return dir + "/" + name;
    }
};

}  // namespace twfuzz
