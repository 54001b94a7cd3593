// Runs the fuzz target without libFuzzer: deterministic pseudo-random inputs, biased
// towards command prefixes so the parser gets past its first byte. Used as a smoke test
// in the ordinary (gcc) build; argument: number of inputs (default 2000).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

struct Rng {
    std::uint64_t s = 0x9E3779B97F4A7C15ULL;
    std::uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<std::uint32_t>(s >> 11);
    }
    std::uint32_t Below(std::uint32_t n) { return n ? Next() % n : 0; }
};

// Command starts the model knows, so random tails exercise their parameter handling.
const std::vector<std::string> kPrefixes = {
    "\x1b@",
    "\x1bL",
    "\x1bS",
    "\x1bT",
    "\x1bW",
    "\x0c",
    "\x1b\x0c",
    "\x18",
    "\x1b=",
    "\x1bR",
    "\x1bt",
    "\x1bM",
    "\x1b"
    "E",
    "\x1b-",
    "\x1d"
    "B",
    "\x1d!",
    "\x1b"
    "a",
    "\x1bV",
    "\x1b{",
    "\x1b%",
    "\x1b&\x03",
    "\x1b?",
    "\x1d(N\x02\x00\x30",
    "\x1b~J",
    "\n",
    "\x1b"
    "3",
    "\x1b"
    "d",
    "\x1bJ",
    "\x1d\x0c",
    "\x1dV",
    "\x1d(A\x02\x00",
    "\x1b"
    "c3",
    "\x1b"
    "c4",
    "\x1d"
    "a",
    "\x10\x04",
    "\x10\x14\x01",
    "\x1b*",
    "\x1dv0",
    "\x1cp",
    "\x1cq",
    "\x1dH",
    "\x1dh",
    "\x1dw",
    "\x1dkA\x0b",
    "\x1dkI",
    "\x1dk",
    "\x1b$",
    "\x1b\\",
    "\x1d$",
    "\x1d\\",
    "\x1d(k",
    "\x1d"
    "8L",
    "\x1b"
    "D",
    "\t",
    "\x1d"
    "I",
    "\x1dr",
    "\x1b"
    "p",
    "\x1b!",
};

std::string MakeInput(Rng& rng) {
    std::string s;
    s.push_back(static_cast<char>(rng.Next()));
    s.push_back(static_cast<char>(rng.Next()));
    const std::uint32_t records = 1 + rng.Below(40);
    for (std::uint32_t r = 0; r < records; ++r) {
        std::string chunk;
        const std::uint32_t want = 1 + rng.Below(64);
        while (chunk.size() < want) {
            switch (rng.Below(4)) {
                case 0:
                    chunk += kPrefixes[rng.Below(static_cast<std::uint32_t>(kPrefixes.size()))];
                    break;
                case 1:
                    chunk += "Text 123\n";
                    break;
                default:
                    chunk.push_back(static_cast<char>(rng.Below(4) ? rng.Below(8) : rng.Next()));
                    break;
            }
        }
        chunk.resize(want);
        s.push_back(static_cast<char>((want - 1) | (rng.Below(4) << 6)));
        s += chunk;
        if (rng.Below(3) == 0)
            s.push_back(static_cast<char>(rng.Next()));
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 2000;
    Rng rng;
    const auto start = std::chrono::steady_clock::now();
    std::size_t bytes = 0;
    for (long n = 0; n < count; ++n) {
        const std::string input = MakeInput(rng);
        bytes += input.size();
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    const double s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld inputs, %zu bytes, %.2f s\n", count, bytes, s);
    return 0;
}
