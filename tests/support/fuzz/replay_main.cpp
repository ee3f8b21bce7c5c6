// Replays a fuzz target's seed corpus without the fuzzing engine, so every build checks the
// parsers against their seeds: each seed whole, every prefix of it, each seed with single bytes
// changed, and a fixed set of random inputs. A fault shows as a crash or abort (the targets abort
// on a broken invariant). Usage: <target>_replay <corpus-dir>...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kPrefixLimit = 512;  // longer seeds are cut at every 32nd byte beyond this
constexpr int kRandomInputs = 200;
constexpr std::size_t kRandomMaxLength = 600;

void Run(const std::vector<std::uint8_t>& bytes) {
    // A copy of exactly the input's size, so a read past its end is caught by the sanitizers.
    std::vector<std::uint8_t> copy(bytes);
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
}

void Replay(const std::vector<std::uint8_t>& seed, std::mt19937& rng) {
    Run(seed);
    for (std::size_t n = 0; n < seed.size(); n += (n < kPrefixLimit ? 1 : 32)) {
        Run(std::vector<std::uint8_t>(seed.begin(), seed.begin() + static_cast<std::ptrdiff_t>(n)));
    }
    if (seed.empty()) return;
    std::uniform_int_distribution<std::size_t> at(0, seed.size() - 1);
    for (int i = 0; i < 32; ++i) {
        std::vector<std::uint8_t> changed(seed);
        changed[at(rng)] = static_cast<std::uint8_t>(rng());
        Run(changed);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus-dir>...\n", argv[0]);
        return 2;
    }
    // Targets that log get a machine root of their own, removed at the end.
    fs::path root;
    if (std::getenv("QEL_ROOT") == nullptr) {
        std::string tmpl = (fs::temp_directory_path() / "tw-fuzz-replay-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) {
            std::perror("mkdtemp");
            return 2;
        }
        root = tmpl;
        setenv("QEL_ROOT", tmpl.c_str(), 1);
    }
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);

    std::mt19937 rng(20261209);
    std::size_t seeds = 0;
    for (int a = 1; a < argc; ++a) {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const fs::directory_entry& e : fs::directory_iterator(argv[a], ec)) {
            if (e.is_regular_file()) files.push_back(e.path());
        }
        if (ec) {
            std::fprintf(stderr, "cannot list %s: %s\n", argv[a], ec.message().c_str());
            return 2;
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& f : files) {
            std::ifstream in(f, std::ios::binary);
            std::vector<std::uint8_t> seed((std::istreambuf_iterator<char>(in)),
                                           std::istreambuf_iterator<char>());
            Replay(seed, rng);
            ++seeds;
        }
    }
    std::uniform_int_distribution<std::size_t> length(0, kRandomMaxLength);
    for (int i = 0; i < kRandomInputs; ++i) {
        std::vector<std::uint8_t> input(length(rng));
        for (std::uint8_t& b : input) b = static_cast<std::uint8_t>(rng());
        Run(input);
    }
    if (!root.empty()) fs::remove_all(root);
    if (seeds == 0) {
        std::fprintf(stderr, "no seeds found\n");
        return 1;
    }
    std::printf("replayed %zu seeds and %d random inputs\n", seeds, kRandomInputs);
    return 0;
}
