// Helper process of the claim tests: opens a logical device through the control-object
// core, claims it, prints the claim result on one line and keeps the claim until its
// standard input ends.
#include <unistd.h>

#include <cstdio>

#include "opos/ControlObject.h"

int main(int argc, char** argv) {
    if (argc != 3)
        return 2;
    thermpos::opos::COposControl control(argv[1]);
    LONG rc = control.Open(argv[2]);
    if (rc == OPOS_SUCCESS) {
        thermpos::platform::com::OutgoingArgs args;
        args.Long(0);
        rc = control.CallLong("ClaimDevice", args);
    }
    std::printf("%d\n", static_cast<int>(rc));
    std::fflush(stdout);
    char buffer[16];
    while (read(0, buffer, sizeof(buffer)) > 0) {
    }
    control.Close();
    return 0;
}
