// The service-object server as a Windows application reaches it: registered in the real
// registry by its own DllRegisterServer, then created by ProgID through ole32 and driven
// by name through IDispatch, its results coming back in oleaut32's VARIANTs.
#include <string>

#include <gtest/gtest.h>

#include "opos/OposConstants.h"
#include "platform/activation.h"
#include "platform/dispatch.h"
#include "platform/module.h"

namespace {

using namespace thermpos::platform;

std::string ServerBesideThisProgram() {
    std::string path = module::ExecutablePath();
    return path.substr(0, path.find_last_of("\\/") + 1) + "ThermSO.dll";
}

class Win32Activation : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        std::string why;
        ASSERT_EQ(com::CallServerRegistration(ServerBesideThisProgram(), false, &why), S_OK) << why;
    }
    void TearDown() override { ::CoUninitialize(); }
};

TEST_F(Win32Activation, RegisteredServerIsCreatedByProgIdAndAnswersByName) {
    CLSID clsid{};
    ASSERT_EQ(::CLSIDFromProgID(L"QMX.Thermal.POSPrinter", &clsid), S_OK);
    IDispatch* printer = nullptr;
    ASSERT_EQ(::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(&printer)),
              S_OK);
    ASSERT_NE(printer, nullptr);
    com::DispatchDriver driver(printer);
    EXPECT_NE(driver.GetDispId("getpropertynumber"), DISPID_UNKNOWN);  // names ignore case
    EXPECT_EQ(driver.GetDispId("NoSuchMethod"), DISPID_UNKNOWN);
    {
        com::OutgoingArgs args;
        args.Long(PIDX_State);
        com::Variant result;
        ASSERT_EQ(driver.Call("GetPropertyNumber", args, result.Get()), S_OK);
        EXPECT_EQ(result.Get()->vt, VT_I4);
        EXPECT_EQ(result.Get()->lVal, OPOS_E_CLOSED);  // not opened yet
    }
    printer->Release();
}

TEST_F(Win32Activation, UnregisteringRemovesTheProgId) {
    CLSID clsid{};
    ASSERT_EQ(::CLSIDFromProgID(L"QMX.Thermal.CashDrawer", &clsid), S_OK);
    std::string why;
    ASSERT_EQ(com::CallServerRegistration(ServerBesideThisProgram(), true, &why), S_OK) << why;
    EXPECT_NE(::CLSIDFromProgID(L"QMX.Thermal.CashDrawer", &clsid), S_OK);
    EXPECT_NE(::CLSIDFromProgID(L"QMX.Thermal.POSPrinter", &clsid), S_OK);
}

}  // namespace
