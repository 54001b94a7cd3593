// Runs a fuzz target without libFuzzer: first every file of its seed corpus, then a fixed
// number of deterministic mutations of them (bytes changed, inserted, removed, repeated,
// and two seeds spliced), so that the ordinary build checks the target on inputs near the
// meaningful ones. Arguments: the number of mutated inputs, then the corpus folder.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

struct Rng {
    std::uint64_t s = 0xD1B54A32D192ED03ULL;
    std::uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<std::uint32_t>(s >> 11);
    }
    std::uint32_t Below(std::uint32_t n) { return n ? Next() % n : 0; }
};

// Bytes that mean something to one parser or another: delimiters, escapes, limits.
constexpr unsigned char kInteresting[] = {0x00, 0x01, 0x0A, 0x0D, 0x10, 0x14, 0x1B, 0x20,
                                          0x22, 0x2C, 0x30, 0x39, 0x3A, 0x3D, 0x40, 0x5B,
                                          0x5C, 0x5D, 0x7C, 0x7F, 0x80, 0xEF, 0xFE, 0xFF};

std::string Mutate(const std::vector<std::string>& seeds, Rng& rng) {
    std::string s = seeds[rng.Below(static_cast<std::uint32_t>(seeds.size()))];
    for (std::uint32_t n = 1 + rng.Below(6); n > 0; --n) {
        const auto size = static_cast<std::uint32_t>(s.size());
        const std::uint32_t at = rng.Below(size + 1);
        switch (rng.Below(7)) {
            case 0:
                if (at < size)
                    s[at] = static_cast<char>(rng.Next());
                break;
            case 1:
                if (at < size)
                    s[at] = static_cast<char>(s[at] ^ (1u << rng.Below(8)));
                break;
            case 2:
                s.insert(s.begin() + at,
                         static_cast<char>(kInteresting[rng.Below(sizeof(kInteresting))]));
                break;
            case 3:
                s.erase(at, 1 + rng.Below(16));
                break;
            case 4: {
                const std::string piece = s.substr(at, 1 + rng.Below(32));
                s.insert(rng.Below(static_cast<std::uint32_t>(s.size()) + 1), piece);
                break;
            }
            case 5: {
                const std::string& other =
                    seeds[rng.Below(static_cast<std::uint32_t>(seeds.size()))];
                s = s.substr(0, at) +
                    other.substr(rng.Below(static_cast<std::uint32_t>(other.size()) + 1));
                break;
            }
            default:
                if (at < size)
                    s[at] = static_cast<char>(kInteresting[rng.Below(sizeof(kInteresting))]);
                break;
        }
    }
    if (s.size() > 64 * 1024)
        s.resize(64 * 1024);
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s COUNT CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const long count = std::strtol(argv[1], nullptr, 10);
    std::vector<std::filesystem::path> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(argv[2], ec))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> seeds;
    for (const auto& file : files) {
        std::ifstream f(file, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "%s: no seed files\n", argv[2]);
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& seed : seeds)
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(seed.data()), seed.size());
    Rng rng;
    std::size_t bytes = 0;
    for (long n = 0; n < count; ++n) {
        const std::string input = Mutate(seeds, rng);
        bytes += input.size();
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%zu seeds, %ld inputs, %zu bytes, %.2f s\n", seeds.size(), count, bytes, s);
    return 0;
}
