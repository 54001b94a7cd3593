// Runs the bitmap fuzz target without libFuzzer: deterministic pseudo-random BMP files of
// every depth and size, then damaged in their header, palette or length, so that the
// decoder gets past its first checks. Argument: number of inputs (default 2000).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

struct Rng {
    std::uint64_t s = 0x2545F4914F6CDD1DULL;
    std::uint32_t Next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<std::uint32_t>(s >> 11);
    }
    std::uint32_t Below(std::uint32_t n) { return n ? Next() % n : 0; }
};

void Put(std::string* s, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        s->push_back(static_cast<char>(v >> (8 * i)));
}

std::string MakeInput(Rng& rng) {
    static const int kDepths[] = {1, 4, 8, 24, 32, 2, 16};
    const int bpp = kDepths[rng.Below(7)];
    const std::uint32_t width = 1 + rng.Below(rng.Below(8) == 0 ? 600 : 40);
    const std::uint32_t height = 1 + rng.Below(40);
    const bool bitfields = bpp == 32 && rng.Below(2) == 0;
    const std::uint32_t header = bitfields ? (rng.Below(2) ? 56 : 40) : 40;
    const std::uint32_t colours = bpp <= 8 ? rng.Below((1u << bpp) + 1) : 0;
    const std::uint32_t palette = bpp <= 8 ? (colours ? colours : 1u << bpp) * 4 : 0;
    const std::uint32_t masks = bitfields && header == 40 ? 12 : 0;
    const std::uint32_t offBits = 14 + header + masks + palette;
    const std::uint32_t stride = ((width * bpp + 31) / 32) * 4;
    std::string f = "BM";
    Put(&f, offBits + stride * height, 4);
    Put(&f, 0, 4);
    Put(&f, offBits, 4);
    Put(&f, header, 4);
    Put(&f, width, 4);
    Put(&f, rng.Below(2) ? height : static_cast<std::uint32_t>(-static_cast<std::int32_t>(height)),
        4);
    Put(&f, 1, 2);
    Put(&f, static_cast<std::uint32_t>(bpp), 2);
    Put(&f, bitfields ? 3 : 0, 4);
    Put(&f, stride * height, 4);
    Put(&f, rng.Below(4) ? rng.Below(12000) : rng.Next(), 4);
    Put(&f, rng.Below(4) ? rng.Below(12000) : rng.Next(), 4);
    Put(&f, colours, 4);
    Put(&f, 0, 4);
    while (f.size() < offBits)
        f.push_back(static_cast<char>(rng.Next()));
    for (std::uint32_t i = 0; i < stride * height; ++i)
        f.push_back(static_cast<char>(rng.Next()));
    // Damage: a few bytes of the headers, or the length.
    for (std::uint32_t n = rng.Below(4); n > 0; --n)
        f[rng.Below(static_cast<std::uint32_t>(std::min<std::size_t>(f.size(), 70)))] =
            static_cast<char>(rng.Below(3) ? rng.Next() : 0xFF);
    if (rng.Below(5) == 0)
        f.resize(rng.Below(static_cast<std::uint32_t>(f.size())));
    std::string input;
    input.push_back(static_cast<char>(rng.Next()));
    const std::uint32_t dots = rng.Below(3) ? 0 : rng.Below(800);
    Put(&input, dots, 2);
    return input + f;
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
