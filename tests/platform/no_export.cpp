// A shared library that is not a server: activation must report the missing export.
extern "C" __attribute__((visibility("default"))) int NotAServer() {
    return 42;
}
