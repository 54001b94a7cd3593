// A registry key handle that closes itself, so that every way out of a walk over the
// registry closes what it opened.
#pragma once

#include "platform/registry.h"

namespace thermpos::platform::registry {

class KeyHolder {
  public:
    KeyHolder() = default;
    ~KeyHolder() { Reset(); }
    KeyHolder(const KeyHolder&) = delete;
    KeyHolder& operator=(const KeyHolder&) = delete;

    // For the out-parameter of RegOpenKeyExA and RegCreateKeyExA: the key held so far is
    // closed first, so reusing a holder never leaks.
    HKEY* Out() {
        Reset();
        return &key_;
    }
    HKEY Get() const { return key_; }
    void Reset() {
        if (key_)
            RegCloseKey(key_);
        key_ = nullptr;
    }

  private:
    HKEY key_ = nullptr;
};

}  // namespace thermpos::platform::registry
