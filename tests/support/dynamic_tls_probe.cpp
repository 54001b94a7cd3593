// Checks that the leak checker survives the thread-local storage of a loaded library.
//
// The address sanitizer of this toolchain guesses the extent of a library's thread-local
// block from the 16 bytes before it whenever the block starts 16 bytes into a page, as its
// own allocator's first chunk of a size does: it takes the allocator's chunk header for
// a range, and the leak check at exit faults scanning it ("Tracer caught signal 11").
// Which of our libraries meets that depends on the order of allocations, so it moved with
// unrelated changes and with the machine. scripts/test.sh runs the sanitizer builds with
// intercept_tls_get_addr=0, which leaves the blocks to the linker's own allocations, where
// the leak checker finds them as well. This program puts the block exactly there and exits
// normally; it fails, at exit, when the setting is missing.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: dynamic_tls_probe MODULE\n");
        return 2;
    }
    // The module's block is allocated with malloc(kBlock); fill that size's chunks up to
    // the one before a page boundary, so that the block takes the chunk on it.
    constexpr std::size_t kBlock = 40;
    constexpr int kMaxChunks = 4096;
    static void* kept[kMaxChunks + 1];  // reachable, so nothing here is a leak
    kept[0] = std::malloc(kBlock);
    kept[1] = std::malloc(kBlock);
    const auto step =
        reinterpret_cast<std::uintptr_t>(kept[1]) - reinterpret_cast<std::uintptr_t>(kept[0]);
    int n = 1;
    while ((reinterpret_cast<std::uintptr_t>(kept[n]) + step) % 4096 != 16 && n < kMaxChunks)
        kept[++n] = std::malloc(kBlock);

    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    auto touch = reinterpret_cast<char* (*)()>(dlsym(module, "dynamic_tls_probe_touch"));
    if (!touch) {
        std::fprintf(stderr, "no dynamic_tls_probe_touch in %s\n", argv[1]);
        return 2;
    }
    const auto block = reinterpret_cast<std::uintptr_t>(touch());
    std::printf("thread-local block at %#jx (%ju into its page)\n",
                static_cast<std::uintmax_t>(block), static_cast<std::uintmax_t>(block % 4096));
    return 0;
}
