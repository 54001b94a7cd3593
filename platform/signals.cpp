// The signals that ask a program to end. See signals.h.
#include "platform/signals.h"

#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>

#include "platform/descriptor.h"

namespace thermpos::platform {

ShutdownSignals::~ShutdownSignals() {
    CloseDescriptor(fd_);
}

bool ShutdownSignals::TakeOver(std::string* error) {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    CloseDescriptor(fd_);
    fd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        *error = ErrnoMessage("signalfd");
        return false;
    }
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

}  // namespace thermpos::platform
