// The library dynamic_tls_probe loads: 40 bytes of thread-local storage and nothing else.
thread_local char block[40];

extern "C" __attribute__((visibility("default"))) char* dynamic_tls_probe_touch() {
    block[0] = 1;
    return block;
}
