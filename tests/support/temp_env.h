// A private temporary folder standing in for the system's registry hive and lock folder,
// so that no test reads or changes the machine's configuration or another test's.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace thermpos::testing {

// Creates a fresh folder and points the environment at it:
//   THERMPOS_REGISTRY     <folder>/registry.reg (created on first save)
//   THERMPOS_LOCK_DIR     <folder>/locks        (created on first claim)
//   THERMPOS_OPEN_WAIT_MS 1                     (the fixed wait after a port opens)
//   THERMPOS_PROBE_WAIT_MS 2000                 (the longest wait for a probe's reply: a
//                                                virtual printer on a loaded machine may
//                                                answer later than a real one)
// The destructor puts the previous values back and removes the folder. Not thread-safe:
// make it where no other thread reads the environment (a fixture's SetUp, or before main).
class TempEnv {
  public:
    struct Options {
        // Memory-backed (/dev/shm) when writable: every registry save ends in fsync, and
        // tests that save hundreds of times would otherwise wait on the disk.
        bool memoryBacked = false;
        // Left unset (the system's wait) when empty.
        std::string openWaitMs = "1";
        std::string probeWaitMs = "2000";
    };
    TempEnv() : TempEnv(Options{}) {}
    explicit TempEnv(const Options& options);
    ~TempEnv();
    TempEnv(const TempEnv&) = delete;
    TempEnv& operator=(const TempEnv&) = delete;

    // False when the folder could not be made; the environment is untouched then.
    bool ok() const { return !dir_.empty(); }
    const std::string& Dir() const { return dir_; }
    std::string HivePath() const { return dir_ + "/registry.reg"; }
    std::string LockDir() const { return dir_ + "/locks"; }

    // Sets a variable for the life of this object (restored with the others).
    void Set(const char* name, const std::string& value);

  private:
    std::string dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;  // first value wins
};

// One TempEnv for the whole process, made on the first call and kept until exit: for test
// programs whose fixtures, helper processes and process-wide objects share one hive.
// Call it before main (from a static initialiser) when anything may read the environment
// earlier than the first test.
TempEnv& ProcessEnv();

}  // namespace thermpos::testing
