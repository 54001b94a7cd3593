// The control objects by name, as late-bound applications reach them, against ThermSO and
// the virtual printer on a pty: every property of both classes read (and written back
// where writable) by name and compared with what the service object answers for its
// index; the automation errors a caller sees; and an ErrorEvent of real output closed
// from inside its handler.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <future>

#include "opos/AutomationControl.h"
#include "opos/CashDrawer.h"
#include "opos/PosPrinter.h"
#include "platform/activation.h"
#include "tests/opos/EventRecorder.h"
#include "tests/so/PrinterAndDrawerTest.h"
#include "tests/so/TestSupport.h"

using namespace thermpos::opos;
namespace com = thermpos::platform::com;
using namespace std::chrono_literals;

namespace {

class AutomationTest : public sotest::PrinterAndDrawerTest {
  protected:
    void SetUp() override {
        PrinterAndDrawerTest::SetUp();
        ASSERT_EQ(sotest::RegisterServer(THERMPOS_OPOS_LIBRARY), S_OK);
    }

    static LONG Call(com::DispatchDriver& d, const char* name, com::OutgoingArgs& args) {
        com::Variant r;
        LONG value = -1;
        EXPECT_EQ(d.Call(name, args, r.Get()), S_OK) << name;
        EXPECT_TRUE(r.ToLong(&value)) << name;
        return value;
    }
    static void Put(com::DispatchDriver& d, const char* name, com::OutgoingArgs& value) {
        EXPECT_EQ(d.PutProperty(d.GetDispId(name), value), S_OK) << name;
    }
    // Open, claim and enable by name.
    static void Start(com::DispatchDriver& d, const char* device) {
        com::OutgoingArgs open;
        open.String(device);
        ASSERT_EQ(Call(d, "Open", open), OPOS_SUCCESS);
        com::OutgoingArgs claim;
        claim.Long(1000);
        ASSERT_EQ(Call(d, "ClaimDevice", claim), OPOS_SUCCESS);
        com::OutgoingArgs enable;
        enable.Bool(true);
        Put(d, "DeviceEnabled", enable);
    }

    // The service object's own answer for an index.
    static LONG SoNumber(IDispatch* so, LONG index) {
        com::OutgoingArgs args;
        args.Long(index);
        com::DispatchDriver d(so);
        return Call(d, "GetPropertyNumber", args);
    }
    static std::string SoString(IDispatch* so, LONG index) {
        com::OutgoingArgs args;
        args.Long(index);
        com::Variant r;
        std::string text;
        EXPECT_EQ(com::DispatchDriver(so).Call("GetPropertyString", args, r.Get()), S_OK);
        EXPECT_TRUE(r.ToAnsi(&text));
        return text;
    }

    // Reads every property by name, checks its DISPID and type, compares it with the
    // index path, and writes writable ones back with the value read.
    static void SweepProperties(const ClassTable& table, const char* device) {
        auto co = com::ComPtr<CAutomationControl>::Adopt(new CAutomationControl(table));
        com::DispatchDriver d(co.Get());
        Start(d, device);
        IDispatch* so = co->Core().ServiceObject();
        ASSERT_NE(so, nullptr);
        int written = 0;
        for (const auto& p : table.properties) {
            SCOPED_TRACE(p.name);
            EXPECT_EQ(d.GetDispId(p.name), p.dispId);
            com::Variant v;
            ASSERT_EQ(d.GetProperty(p.dispId, v.Get()), S_OK);
            switch (p.type) {
                case PropType::String: {
                    ASSERT_EQ(v.Type(), VT_BSTR);
                    std::string text;
                    ASSERT_TRUE(v.ToAnsi(&text));
                    EXPECT_EQ(text, SoString(so, p.index));
                    break;
                }
                case PropType::Bool:
                    ASSERT_EQ(v.Type(), VT_BOOL);
                    EXPECT_EQ((*v).boolVal == VARIANT_TRUE, SoNumber(so, p.index) != 0);
                    break;
                case PropType::Long:
                    ASSERT_EQ(v.Type(), VT_I4);
                    EXPECT_EQ((*v).lVal, SoNumber(so, p.index));
                    break;
            }
            if (!p.writable)
                continue;
            com::OutgoingArgs value;
            if (p.type == PropType::String) {
                std::string text;
                v.ToAnsi(&text);
                value.String(text);
            } else if (p.type == PropType::Bool) {
                value.Bool((*v).boolVal == VARIANT_TRUE);
            } else {
                value.Long((*v).lVal);
            }
            ASSERT_EQ(d.PutProperty(p.dispId, value), S_OK);
            if (SoNumber(so, PIDX_ResultCode) != OPOS_SUCCESS)
                continue;
            ++written;
            // A boolean reaches the service object as 1 or 0, never as VARIANT_TRUE.
            if (p.type == PropType::Bool) {
                EXPECT_EQ(SoNumber(so, p.index), (*v).boolVal == VARIANT_TRUE ? 1 : 0);
            } else if (p.type == PropType::Long) {
                EXPECT_EQ(SoNumber(so, p.index), (*v).lVal);
            }
        }
        EXPECT_GT(written, 0);
        com::OutgoingArgs none;
        EXPECT_EQ(Call(d, "Close", none), OPOS_SUCCESS);
    }
};

TEST_F(AutomationTest, EveryPrinterPropertyByNameMatchesTheIndexPath) {
    SweepProperties(PosPrinterTable(), kPrinter);
}

TEST_F(AutomationTest, EveryDrawerPropertyByNameMatchesTheIndexPath) {
    SweepProperties(CashDrawerTable(), kDrawer);
}

TEST_F(AutomationTest, RegisteredClassesPrintAndRefuseWhatTheyCannotTake) {
    com::ComPtr<IDispatch> co;
    ASSERT_EQ(com::CreateObjectByProgID("OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter", co.Out()),
              S_OK);
    com::ComPtr<IDispatch> drawer;
    ASSERT_EQ(com::CreateObjectByProgID("OposCashDrawer_1_8_LibCtl.OPOSCashDrawer", drawer.Out()),
              S_OK);
    com::DispatchDriver d(co.Get());
    Start(d, kPrinter);

    HRESULT hr = S_OK;
    EXPECT_EQ(d.GetDispId("RecLineCharz", &hr), DISPID_UNKNOWN);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
    EXPECT_EQ(com::DispatchDriver(drawer.Get()).GetDispId("PrintNormal", &hr), DISPID_UNKNOWN);
    EXPECT_EQ(hr, DISP_E_UNKNOWNNAME);
    EXPECT_EQ(d.GetDispId("recLINEchars"), 120);

    com::OutgoingArgs text;
    text.String("forty");
    EXPECT_EQ(d.PutProperty(d.GetDispId("RecLineChars"), text), DISP_E_TYPEMISMATCH);
    com::OutgoingArgs oneArg;
    oneArg.Long(PTR_S_RECEIPT);
    com::Variant r;
    EXPECT_EQ(d.Call("PrintNormal", oneArg, r.Get()), DISP_E_BADPARAMCOUNT);
    LONG data = 0;
    com::OutgoingArgs byValue;
    byValue.Long(1).Long(data).String("");
    EXPECT_EQ(d.Call("DirectIO", byValue, r.Get()), DISP_E_TYPEMISMATCH);
    com::OutgoingArgs claimed;
    claimed.Bool(false);
    EXPECT_NE(d.PutProperty(d.GetDispId("Claimed"), claimed), S_OK);

    com::OutgoingArgs print;
    print.Long(PTR_S_RECEIPT).String("Printed by name\n\x1B|fP");
    EXPECT_EQ(Call(d, "PrintNormal", print), OPOS_SUCCESS);
    ASSERT_TRUE(vp_.WaitReceipts(1, 10s));
    com::OutgoingArgs none;
    EXPECT_EQ(Call(d, "Close", none), OPOS_SUCCESS);
    vp_.Stop();
    std::ifstream log(outDir_ + "/commands.log");
    std::stringstream all;
    all << log.rdbuf();
    EXPECT_NE(all.str().find("Printed by name"), std::string::npos);
}

TEST_F(AutomationTest, CloseInsideAnErrorEventOfRealOutputDoesNotDeadlock) {
    PosPrinter printer;
    optest::EventRecorder recorder;
    printer.SetEventHandler(&recorder);
    recorder.onError = [&] { EXPECT_EQ(printer.Close(), OPOS_SUCCESS); };
    ASSERT_EQ(printer.Open(kPrinter), OPOS_SUCCESS);
    ASSERT_EQ(printer.ClaimDevice(1000), OPOS_SUCCESS);
    printer.SetDeviceEnabled(true);
    ASSERT_EQ(printer.ResultCode(), OPOS_SUCCESS);
    printer.SetAsyncMode(true);

    vp_.SetCover(true);
    ASSERT_TRUE(optest::PumpUntil({&printer}, [&] { return printer.CoverOpen(); }));
    // The output thread meets the open cover, raises ErrorEvent and waits for the answer.
    EXPECT_EQ(printer.PrintNormal(PTR_S_RECEIPT, "waits for the cover\n"), OPOS_SUCCESS);
    ASSERT_TRUE(optest::PumpUntil({&printer}, [&] { return !printer.Claimed(); }));
    EXPECT_EQ(printer.State(), OPOS_S_CLOSED);
    bool sawError = false;
    for (const std::string& e : recorder.Events())
        sawError = sawError || e[0] == 'E';
    EXPECT_TRUE(sawError);
}

TEST_F(AutomationTest, CloseWhileAnotherThreadWaitsInsideTheServiceObject) {
    CashDrawer drawer;
    ASSERT_EQ(drawer.Open(kDrawer), OPOS_SUCCESS);
    ASSERT_EQ(drawer.ClaimDevice(1000), OPOS_SUCCESS);
    drawer.SetDeviceEnabled(true);
    ASSERT_EQ(drawer.OpenDrawer(), OPOS_SUCCESS);
    ASSERT_TRUE(vp_.WaitStatus([](const auto& s) { return s.drawerOpen; }, 10s));
    ASSERT_TRUE(optest::PumpUntil({&drawer}, [&] { return drawer.DrawerOpened(); }));

    // The waiting call keeps the service object alive until it returns, whatever Close
    // on this thread does meanwhile.
    std::promise<void> calling;
    auto waiting = std::async(std::launch::async, [&] {
        calling.set_value();
        return drawer.WaitForDrawerClose(0, 0, 0, 0);
    });
    calling.get_future().wait();
    EXPECT_EQ(drawer.Close(), OPOS_SUCCESS);
    const bool returned = waiting.wait_for(10s) == std::future_status::ready;
    if (!returned)
        vp_.SetDrawer(false);  // lets a wait that Close did not end finish
    ASSERT_TRUE(returned);
    const LONG rc = waiting.get();
    EXPECT_TRUE(rc == OPOS_SUCCESS || rc == OPOS_E_CLOSED) << rc;
}

}  // namespace
