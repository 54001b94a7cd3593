// The USB walk's table of model keys and hardware keys.
#include <gtest/gtest.h>

#include "portlib/UsbModels.h"

namespace thermpos::linkport {
namespace {

TEST(UsbModelsTest, ModelKeysSelectTheirHardwareKeysWithoutRegardToCase) {
    EXPECT_STREQ(UsbHardwareKeyForModel("QMXRT-K410"), "Vid_5D17&Pid_0A41");
    EXPECT_STREQ(UsbHardwareKeyForModel("qmxrt-k410"), "Vid_5D17&Pid_0A41");
    EXPECT_STREQ(UsbHardwareKeyForModel("QMXQMX5500"), "Vid_5D17&Pid_0A41");
    EXPECT_STREQ(UsbHardwareKeyForModel("TALVERNRT-K6100"), "Vid_5D17&Pid_0B62");
    // Neither another spelling of the RT-K6100's key nor part of a key is one the walk knows.
    for (const char* unknown : {"QMXRT-K6100", "QMXRT-K", "", "QMXRT-K410 "})
        EXPECT_EQ(UsbHardwareKeyForModel(unknown), nullptr) << unknown;
}

}  // namespace
}  // namespace thermpos::linkport
