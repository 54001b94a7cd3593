// What reading the registry hive costs: every process pays it at its first registry call,
// and again after each change another process saves.
//   - ReadBinaryValue/N: a hive holding one REG_BINARY value of N bytes (saved as a hex
//     list over many continuation lines), read from scratch and the value queried.
//   - WalkKeys/N: a hive of N keys (100,000, and 10,000 to show how it scales) with one
//     value each, read from scratch, then every key opened and its values enumerated, as
//     `reg query /s` does.
//   - QueryValues/N: a hive of one key with N values (100,000, and 10,000 to show how it
//     scales), read from scratch, then every value listed and read by name, as
//     `reg query KEY` does.
// Each iteration switches the store between two copies of the same hive, which makes it
// read the file as a new process would. The copies are left alone for a few seconds
// first: within that time of a change the store cannot trust file times to prove the
// bytes unchanged and reads the file again at each open (registry_hive.cpp, kSettleSeconds),
// which is the cost right after a save, not the one to measure here.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/reg_text.h"
#include "platform/registry.h"

namespace {

namespace detail = thermpos::platform::registry::detail;

class HiveFiles {
  public:
    explicit HiveFiles(const detail::Node& root) {
        std::string pattern = (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                              std::string("/thermpos-regbench-XXXXXX");
        if (!mkdtemp(pattern.data()))
            return;
        dir_ = pattern;
        std::string text;
        std::string error;
        if (detail::WriteHiveText(root, &text, &error) != ERROR_SUCCESS)
            return;
        for (const char* name : {"/a.reg", "/b.reg"}) {
            files_.push_back(dir_ + name);
            std::ofstream(files_.back(), std::ios::binary) << text;
        }
        setenv("THERMPOS_LOCK_DIR", (dir_ + "/locks").c_str(), 1);
        bytes_ = text.size();
        // File times cannot be waited on; they can only be let age.
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    }
    ~HiveFiles() {
        unsetenv("THERMPOS_REGISTRY");
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    bool ok() const { return files_.size() == 2; }
    std::size_t bytes() const { return bytes_; }
    // Points the store at the other copy, so its next call reads the hive from scratch.
    void SwitchCopy() {
        next_ ^= 1;
        setenv("THERMPOS_REGISTRY", files_[next_].c_str(), 1);
    }

  private:
    std::string dir_;
    std::vector<std::string> files_;
    std::size_t bytes_ = 0;
    int next_ = 0;
};

detail::Node* AddKey(detail::Node* parent, const std::string& name) {
    parent->subkeys.push_back(std::make_unique<detail::Node>());
    parent->subkeys.back()->name = name;
    return parent->subkeys.back().get();
}

// A Ports-map-like text value, "COM1:" to "COM9:" by i.
detail::Value PortValue(const std::string& name, int i) {
    const std::string port = "COM" + std::to_string(i % 9 + 1) + ":";
    std::vector<BYTE> text(port.begin(), port.end());
    text.push_back(0);
    return detail::Value{name, REG_SZ, text};
}

// A fresh read of the hive, then SOFTWARE\Bench opened; null when that fails (the
// benchmark is then stopped with the reason).
HKEY OpenBench(benchmark::State& state, HiveFiles& files) {
    files.SwitchCopy();
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Bench", 0, KEY_READ, &key) != ERROR_SUCCESS) {
        state.SkipWithError("open failed");
        return nullptr;
    }
    return key;
}

void ReadBinaryValue(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    detail::Node root;
    detail::Node* key = AddKey(AddKey(&root, "SOFTWARE"), "Bench");
    std::vector<BYTE> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<BYTE>(i * 131);
    key->values.push_back(detail::Value{"Logo", REG_BINARY, data});
    HiveFiles files(root);
    if (!files.ok()) {
        state.SkipWithError("cannot create the hive files");
        return;
    }
    std::vector<BYTE> out(size);
    for (auto _ : state) {
        HKEY k = OpenBench(state, files);
        if (!k)
            return;
        DWORD cb = static_cast<DWORD>(out.size());
        const LONG r = RegQueryValueExA(k, "Logo", nullptr, nullptr, out.data(), &cb);
        RegCloseKey(k);
        if (r != ERROR_SUCCESS || cb != size) {
            state.SkipWithError("query failed");
            return;
        }
    }
    state.counters["hive_bytes"] = static_cast<double>(files.bytes());
}
BENCHMARK(ReadBinaryValue)
    ->Arg(64 << 10)
    ->Arg(256 << 10)
    ->Arg(512 << 10)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

void WalkKeys(benchmark::State& state) {
    const int keys = static_cast<int>(state.range(0));
    detail::Node root;
    detail::Node* bench = AddKey(AddKey(&root, "SOFTWARE"), "Bench");
    char name[16];
    for (int i = 0; i < keys; ++i) {
        std::snprintf(name, sizeof name, "K%06d", i);
        AddKey(bench, name)->values.push_back(PortValue("Port", i));
    }
    HiveFiles files(root);
    if (!files.ok()) {
        state.SkipWithError("cannot create the hive files");
        return;
    }
    for (auto _ : state) {
        HKEY parent = OpenBench(state, files);
        if (!parent)
            return;
        int opened = 0;
        for (DWORD i = 0;; ++i) {
            char sub[256];
            DWORD cch = sizeof sub;
            if (RegEnumKeyExA(parent, i, sub, &cch, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            HKEY child = nullptr;
            if (RegOpenKeyExA(parent, sub, 0, KEY_READ, &child) != ERROR_SUCCESS)
                break;
            ++opened;
            for (DWORD v = 0;; ++v) {
                char valueName[256];
                DWORD cchValue = sizeof valueName;
                BYTE data[64];
                DWORD cb = sizeof data;
                if (RegEnumValueA(child, v, valueName, &cchValue, nullptr, nullptr, data, &cb) !=
                    ERROR_SUCCESS)
                    break;
            }
            RegCloseKey(child);
        }
        RegCloseKey(parent);
        if (opened != keys) {
            state.SkipWithError("not every key was opened");
            return;
        }
    }
    state.counters["hive_bytes"] = static_cast<double>(files.bytes());
}
BENCHMARK(WalkKeys)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void QueryValues(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    detail::Node root;
    detail::Node* bench = AddKey(AddKey(&root, "SOFTWARE"), "Bench");
    char name[16];
    for (int i = 0; i < count; ++i) {
        std::snprintf(name, sizeof name, "V%06d", i);
        bench->values.push_back(PortValue(name, i));
    }
    HiveFiles files(root);
    if (!files.ok()) {
        state.SkipWithError("cannot create the hive files");
        return;
    }
    for (auto _ : state) {
        HKEY key = OpenBench(state, files);
        if (!key)
            return;
        int read = 0;
        for (DWORD i = 0;; ++i) {
            char valueName[256];
            DWORD cch = sizeof valueName;
            DWORD cb = 0;
            if (RegEnumValueA(key, i, valueName, &cch, nullptr, nullptr, nullptr, &cb) !=
                ERROR_SUCCESS)
                break;
            BYTE data[64];
            cb = sizeof data;
            if (RegQueryValueExA(key, valueName, nullptr, nullptr, data, &cb) != ERROR_SUCCESS)
                break;
            ++read;
        }
        RegCloseKey(key);
        if (read != count) {
            state.SkipWithError("not every value was read");
            return;
        }
    }
    state.counters["hive_bytes"] = static_cast<double>(files.bytes());
}
BENCHMARK(QueryValues)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
