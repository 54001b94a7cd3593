// The table of printer models: each model file registers its profile and its device class
// under one logical device name, and the family, the monitor, the setup utility and the
// installation find a model by that name or by its model key.
#include <cctype>
#include <string>

#include <gtest/gtest.h>

#include "so/core/DeviceFactory.h"
#include "so/printer/PrinterModels.h"
#include "tests/so/printer/PrinterTestSupport.h"

namespace {

using namespace thermpos::so;

TEST(ModelTable, EveryModelIsFoundByItsNameAndKeyWithoutRegardToCase) {
    const ModelProfile* const expected[] = {&CPrinterRTK410::ProfileData(),
                                            &CPrinterQMX5500::ProfileData(),
                                            &CPrinterRTK6100::ProfileData()};
    ASSERT_EQ(ModelProfiles().size(), std::size(expected));
    for (const ModelProfile* model : expected) {
        std::string lower = model->deviceName;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        EXPECT_EQ(FindModelByDeviceName(model->deviceName), model) << model->deviceName;
        EXPECT_EQ(FindModelByDeviceName(lower), model) << lower;
        EXPECT_EQ(FindModelByKey(model->modelKey), model) << model->modelKey;

        // The same registration made the device class for the name.
        auto device = CreateDeviceObject("posprinter", lower);
        auto* printer = dynamic_cast<CThermalPrinter*>(device.get());
        ASSERT_NE(printer, nullptr) << lower;
        EXPECT_EQ(&printer->Profile(), model) << lower;
    }
    EXPECT_EQ(FindModelByKey("qmxrt-k410"), &CPrinterRTK410::ProfileData());
    // A name or key no model has, or only part of one, finds nothing.
    for (const char* unknown : {"", "QMXRT-K", "RTK410.TALVERN.POSPrinterX", "QMXRT-K6100"}) {
        EXPECT_EQ(FindModelByDeviceName(unknown), nullptr) << unknown;
        EXPECT_EQ(FindModelByKey(unknown), nullptr) << unknown;
    }
    EXPECT_FALSE(CreateDeviceObject("POSPrinter", "QMXRT-K410"));
}

// The monitor's rules follow the model key the device was configured with, so a printer
// entered under another model's key is asked for its status as that model.
TEST(ModelTable, MonitorRulesFollowTheModelKey) {
    struct Case {
        const char* key;
        bool rewriteAfterEveryRead;
        bool rewriteAfterReply;
        bool holdReplies;
        bool writeAfterParallelRead;
    };
    static const Case kCases[] = {
        {"QMXRT-K410", false, true, false, true},
        {"qmxrt-k410", false, true, false, true},
        {"TALVERNRT-K6100", true, false, true, true},
        {"talvernrt-k6100", true, false, true, true},
        // The QMX5500 and keys of no model run with the defaults.
        {"QMXQMX5500", false, false, true, false},
        {"QMX5500", false, false, true, false},
        {"", false, false, true, false},
    };
    for (const Case& c : kCases) {
        const MonitorProfile p = CThermalPrinter::StatusMonitorProfile(c.key);
        EXPECT_EQ(p.rewriteAfterEveryRead, c.rewriteAfterEveryRead) << c.key;
        EXPECT_EQ(p.rewriteAfterReply, c.rewriteAfterReply) << c.key;
        EXPECT_EQ(p.holdReplies, c.holdReplies) << c.key;
        EXPECT_EQ(p.writeAfterParallelRead, c.writeAfterParallelRead) << c.key;
    }
}

}  // namespace
