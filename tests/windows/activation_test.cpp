// The service-object server as a Windows application reaches it: registered in the real
// registry by its own DllRegisterServer, then created by ProgID through ole32 and driven
// by name through IDispatch, its results coming back in oleaut32's VARIANTs.
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "opos/OposConstants.h"
#include "platform/activation.h"
#include "platform/dispatch.h"
#include "platform/module.h"

namespace {

using namespace thermpos::platform;

// The pointer type the exports are called through is the one the system declares them
// with, calling convention included: on 32-bit Windows a cast to a plain pointer compiles
// and then unbalances the stack.
static_assert(std::is_same_v<decltype(&::DllRegisterServer), com::ServerEntryFn>);
static_assert(std::is_same_v<decltype(&::DllUnregisterServer), com::ServerEntryFn>);
static_assert(std::is_same_v<decltype(&::DllCanUnloadNow), com::ServerEntryFn>);

std::string ServerBesideThisProgram(const char* name = "ThermSO.dll") {
    std::string path = module::ExecutablePath();
    return path.substr(0, path.find_last_of("\\/") + 1) + name;
}

constexpr char kClasses[] = "SOFTWARE\\Classes\\";

void WriteText(const std::string& path, const char* name, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                               static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
}

// The text of a value, or "<missing>" when the key or the value is absent.
std::string ReadText(const std::string& path, const char* name = nullptr) {
    char buffer[512] = {};
    DWORD size = sizeof buffer - 1;
    if (::RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer,
                       &size) != ERROR_SUCCESS)
        return "<missing>";
    return buffer;
}

bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

std::string ClsidText(const wchar_t* progId) {
    CLSID clsid{};
    if (::CLSIDFromProgID(progId, &clsid) != S_OK)
        return "";
    char text[39];
    GuidToString(clsid, text);
    return text;
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

TEST_F(Win32Activation, RegisteredForEveryApartmentAndUnregisteredWithoutTouchingOthersKeys) {
    const std::string guid = ClsidText(L"QMX.Thermal.POSPrinter");
    ASSERT_FALSE(guid.empty());
    const std::string clsidKey = std::string(kClasses) + "CLSID\\" + guid;
    const std::string progKey = std::string(kClasses) + "QMX.Thermal.POSPrinter";
    EXPECT_EQ(ReadText(clsidKey + "\\InprocServer32", "ThreadingModel"), "Both");
    // What another installer keeps beside ours.
    WriteText(clsidKey, "AppID", "{00000000-1111-2222-3333-444444444444}");
    WriteText(clsidKey + "\\Implemented Categories", nullptr, "theirs");
    WriteText(progKey + "\\CurVer", nullptr, "QMX.Thermal.POSPrinter.2");
    std::string why;
    ASSERT_EQ(com::CallServerRegistration(ServerBesideThisProgram(), true, &why), S_OK) << why;
    EXPECT_EQ(ReadText(clsidKey, "AppID"), "{00000000-1111-2222-3333-444444444444}");
    EXPECT_EQ(ReadText(clsidKey + "\\Implemented Categories"), "theirs");
    EXPECT_EQ(ReadText(progKey + "\\CurVer"), "QMX.Thermal.POSPrinter.2");
    EXPECT_FALSE(KeyExists(clsidKey + "\\InprocServer32"));
    EXPECT_FALSE(KeyExists(clsidKey + "\\ProgID"));
    EXPECT_FALSE(KeyExists(progKey + "\\CLSID"));
    EXPECT_EQ(ReadText(clsidKey), "<missing>");
    EXPECT_EQ(ReadText(progKey), "<missing>");
    // The drawer's keys held nothing of anyone else's: they are gone entirely.
    EXPECT_FALSE(KeyExists(std::string(kClasses) + "QMX.Thermal.CashDrawer"));
    EXPECT_EQ(::RegDeleteTreeA(HKEY_LOCAL_MACHINE, clsidKey.c_str()), ERROR_SUCCESS);
    EXPECT_EQ(::RegDeleteTreeA(HKEY_LOCAL_MACHINE, progKey.c_str()), ERROR_SUCCESS);
}

// The control objects register under the standard ProgIDs, which applications normally
// find taken by another maker's control objects: never replaced, only taken when free.
TEST_F(Win32Activation, ControlObjectServerNeverTakesOverAStandardProgId) {
    const std::string printerKey =
        std::string(kClasses) + "OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter";
    const std::string drawerKey =
        std::string(kClasses) + "OposCashDrawer_1_8_LibCtl.OPOSCashDrawer";
    const std::string theirs = "{0F0E0D0C-0B0A-0908-0706-050403020100}";
    WriteText(printerKey + "\\CLSID", nullptr, theirs);
    const std::string server = ServerBesideThisProgram("ThermCO.dll");
    std::string why;
    EXPECT_EQ(com::CallServerRegistration(server, false, &why), SELFREG_E_CLASS) << why;
    EXPECT_EQ(ReadText(printerKey + "\\CLSID"), theirs);
    EXPECT_FALSE(KeyExists(drawerKey));  // a refused registration writes nothing at all

    ASSERT_EQ(::RegDeleteTreeA(HKEY_LOCAL_MACHINE, printerKey.c_str()), ERROR_SUCCESS);
    ASSERT_EQ(com::CallServerRegistration(server, false, &why), S_OK) << why;
    EXPECT_FALSE(ClsidText(L"OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter").empty());
    IDispatch* control = nullptr;
    ASSERT_EQ(com::CreateObjectByProgID("OposCashDrawer_1_8_LibCtl.OPOSCashDrawer", &control),
              S_OK);
    control->Release();
    ASSERT_EQ(com::CallServerRegistration(server, true, &why), S_OK) << why;
    EXPECT_FALSE(KeyExists(printerKey));
    EXPECT_FALSE(KeyExists(drawerKey));
}

}  // namespace
