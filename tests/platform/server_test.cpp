// Registration and activation of a real server library (built beside this test), and
// the module counts that decide when it may be unloaded.
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/activation.h"
#include "platform/comserver.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/regkey.h"
#include "tests/support/temp_env.h"

namespace {

using namespace thermpos::platform::com;
namespace fs = std::filesystem;

constexpr char kProgId[] = "ThermPOS.Test.Object";
constexpr char kClsid[] = "{6F1D2C3B-4A59-4E68-8B7C-9D0E1F2A3B4C}";

std::string RealPath(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) ? resolved : "";
}

// Default (name null) or named string value, or "<missing>".
std::string ReadValue(const std::string& path, const char* name = nullptr) {
    thermpos::platform::registry::KeyHolder key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Out()) != ERROR_SUCCESS)
        return "<missing>";
    char buffer[1024] = {};
    DWORD size = sizeof buffer - 1;
    const LONG rc =
        RegQueryValueExA(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    return rc == ERROR_SUCCESS ? std::string(buffer) : "<missing>";
}

void WriteValue(const std::string& path, const std::string& text) {
    thermpos::platform::registry::KeyHolder key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.Out(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(
        RegSetValueExA(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1)),
        ERROR_SUCCESS);
}

class Server : public ::testing::Test {
  protected:
    void SetUp() override {
        env_.emplace();
        ASSERT_TRUE(env_->ok());
        dir_ = env_->Dir();
        // The same handle that activation gets, so its module counts are the ones we see.
        std::string error;
        lib_ = thermpos::platform::module::Load(TEST_SERVER_PATH, &error);
        ASSERT_NE(lib_, nullptr) << error;
        reg_ = thermpos::platform::module::Export<thermpos::platform::com::ServerEntryFn>(
            lib_, "DllRegisterServer");
        unreg_ = thermpos::platform::module::Export<thermpos::platform::com::ServerEntryFn>(
            lib_, "DllUnregisterServer");
        canUnload_ = thermpos::platform::module::Export<thermpos::platform::com::ServerEntryFn>(
            lib_, "DllCanUnloadNow");
        getClass_ = thermpos::platform::module::Export<thermpos::platform::com::GetClassObjectFn>(
            lib_, "DllGetClassObject");
        ASSERT_TRUE(reg_ && unreg_ && canUnload_ && getClass_);
    }
    void TearDown() override {
        EXPECT_EQ(thermpos::platform::registry::OpenHandleCount(), 0u);
        env_.reset();
        // The library stays loaded: activation keeps every server for the process's life.
    }

    std::optional<thermpos::testing::TempEnv> env_;
    std::string dir_;
    void* lib_ = nullptr;
    thermpos::platform::com::ServerEntryFn reg_ = nullptr;
    thermpos::platform::com::ServerEntryFn unreg_ = nullptr;
    thermpos::platform::com::ServerEntryFn canUnload_ = nullptr;
    thermpos::platform::com::GetClassObjectFn getClass_ = nullptr;
};

TEST_F(Server, RegistersWhereWindowsKeepsItAndIsCreatedByProgId) {
    ASSERT_EQ(reg_(), S_OK);
    const std::string clsidKey = std::string("SOFTWARE\\Classes\\CLSID\\") + kClsid;
    EXPECT_EQ(ReadValue(clsidKey + "\\InprocServer32"), RealPath(TEST_SERVER_PATH));
    EXPECT_EQ(ReadValue(clsidKey + "\\InprocServer32", "ThreadingModel"), "Both");
    EXPECT_EQ(ReadValue(clsidKey + "\\ProgID"), kProgId);
    EXPECT_EQ(ReadValue(std::string("SOFTWARE\\Classes\\") + kProgId + "\\CLSID"), kClsid);

    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"thermpos.test.OBJECT", &clsid), S_OK);  // keys ignore case
    char text[39];
    GuidToString(clsid, text);
    EXPECT_STREQ(text, kClsid);

    ComPtr<IDispatch> a, b;
    ASSERT_EQ(CreateObjectByProgID(kProgId, a.Out()), S_OK);
    ASSERT_EQ(CreateObjectByProgID(kProgId, b.Out()), S_OK);
    DispatchDriver driver(a.Get());
    Variant sum;
    OutgoingArgs add;
    add.Long(2).Long(40);
    ASSERT_EQ(driver.Call("add", add, &sum), S_OK);
    LONG value = 0;
    ASSERT_TRUE(sum.ToLong(&value));
    EXPECT_EQ(value, 42);

    LONG n = 1;
    BSTR s = SysAllocString(u"x");
    OutgoingArgs fill;
    fill.LongRef(&n).BstrRef(&s);
    ASSERT_EQ(driver.Call("FillToo", fill), S_OK);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(std::u16string(s), u"filled:x");
    SysFreeString(s);

    // Strings cross with embedded zeros intact; a reused result does not leak the last.
    Variant echo;
    const std::u16string zeros(u"a\0b", 3);
    for (int i = 0; i < 2; ++i) {
        OutgoingArgs text;
        text.WString(zeros);
        ASSERT_EQ(driver.Call("Echo", text, echo.Get()), S_OK);
    }
    std::u16string back;
    ASSERT_TRUE(echo.ToWString(&back));
    EXPECT_EQ(back, zeros);

    // Each object has its own state.
    OutgoingArgs none;
    Variant count;
    driver.Call("Counter", none, &count);
    driver.Call("Counter", none, &count);
    ASSERT_TRUE(count.ToLong(&value));
    EXPECT_EQ(value, 2);
    ASSERT_EQ(DispatchDriver(b.Get()).Call("Counter", none, &count), S_OK);
    ASSERT_TRUE(count.ToLong(&value));
    EXPECT_EQ(value, 1);
}

TEST_F(Server, CanUnloadOnlyWhenNoObjectFactoryOrLockIsAlive) {
    ASSERT_EQ(canUnload_(), S_OK);
    GUID clsid{};
    ASSERT_TRUE(GuidFromString(kClsid, &clsid));
    IClassFactory* factory = nullptr;
    ASSERT_EQ(getClass_(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    EXPECT_EQ(canUnload_(), S_FALSE);

    IDispatch* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&object)),
              S_OK);
    IUnknown* outer = object;
    void* refused = &refused;
    EXPECT_EQ(factory->CreateInstance(outer, IID_IDispatch, &refused), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &refused), E_NOINTERFACE);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory->Release();
    EXPECT_EQ(canUnload_(), S_FALSE);  // object and lock

    object->AddRef();
    object->Release();
    object->Release();
    EXPECT_EQ(canUnload_(), S_FALSE);  // still locked
    IClassFactory* again = nullptr;
    ASSERT_EQ(getClass_(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&again)), S_OK);
    again->LockServer(FALSE);
    again->LockServer(FALSE);  // unbalanced: must not go below zero
    again->Release();
    EXPECT_EQ(canUnload_(), S_OK);
    again = nullptr;
    ASSERT_EQ(getClass_(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&again)), S_OK);
    again->LockServer(TRUE);
    again->Release();
    EXPECT_EQ(canUnload_(), S_FALSE);  // the second unlock above was not banked
    ASSERT_EQ(getClass_(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&again)), S_OK);
    again->LockServer(FALSE);
    again->Release();
    EXPECT_EQ(canUnload_(), S_OK);

    GUID other = clsid;
    other.Data1 ^= 1;
    void* none = &none;
    EXPECT_EQ(getClass_(&other, &IID_IClassFactory, &none), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(none, nullptr);
}

TEST_F(Server, EachActivationFailureHasItsOwnResult) {
    const std::string classes = "SOFTWARE\\Classes\\";
    ComPtr<IDispatch> object;
    EXPECT_EQ(CreateObjectByProgID("Not.Registered", object.Out()), CO_E_CLASSSTRING);
    EXPECT_EQ(CreateObjectByProgID("..\\CLSID", object.Out()), CO_E_CLASSSTRING);
    EXPECT_EQ(CreateObjectByProgID("", object.Out()), CO_E_CLASSSTRING);

    WriteValue(classes + "Bad.Guid\\CLSID", "not a guid");
    EXPECT_EQ(CreateObjectByProgID("Bad.Guid", object.Out()), CO_E_CLASSSTRING);

    const char* kGone = "{11111111-2222-3333-4444-555555555555}";
    WriteValue(classes + "No.Class\\CLSID", kGone);
    EXPECT_EQ(CreateObjectByProgID("No.Class", object.Out()), REGDB_E_CLASSNOTREG);

    const char* kMissing = "{11111111-2222-3333-4444-555555555556}";
    WriteValue(classes + "Missing.Library\\CLSID", kMissing);
    WriteValue(classes + "CLSID\\" + kMissing + "\\InprocServer32", dir_ + "/absent.so");
    EXPECT_EQ(CreateObjectByProgID("Missing.Library", object.Out()), CO_E_DLLNOTFOUND);

    const char* kNoExport = "{11111111-2222-3333-4444-555555555557}";
    WriteValue(classes + "No.Export\\CLSID", kNoExport);
    WriteValue(classes + "CLSID\\" + kNoExport + "\\InprocServer32", TEST_NOEXPORT_PATH);
    EXPECT_EQ(CreateObjectByProgID("No.Export", object.Out()), CO_E_ERRORINDLL);

    const char* kForeign = "{11111111-2222-3333-4444-555555555558}";
    WriteValue(classes + "Wrong.Class\\CLSID", kForeign);
    WriteValue(classes + "CLSID\\" + kForeign + "\\InprocServer32", TEST_SERVER_PATH);
    EXPECT_EQ(CreateObjectByProgID("Wrong.Class", object.Out()), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_FALSE(object);
    EXPECT_EQ(canUnload_(), S_OK);  // the failed attempts left no factory behind
}

TEST_F(Server, OnlyLibrariesNoOtherUserCouldHavePlacedAreLoaded) {
    if (geteuid() != 0)
        GTEST_SKIP() << "files of another user are made with chown, which needs root";
    // Copies of the library without DllGetClassObject: loaded, it gives CO_E_ERRORINDLL;
    // refused, E_ACCESSDENIED before anything of it runs.
    const auto copy = [&](const std::string& folder, const std::string& name) {
        fs::create_directories(dir_ + "/" + folder);
        const std::string path = dir_ + "/" + folder + "/" + name;
        fs::copy_file(TEST_NOEXPORT_PATH, path);
        chmod((dir_ + "/" + folder).c_str(), 0755);
        return path;
    };
    struct Case {
        const char* what;
        std::string path;  // as stored in InprocServer32
        HRESULT expected;
    };
    std::vector<Case> cases;
    cases.push_back({"a private folder of root's", copy("own", "lib.so"), CO_E_ERRORINDLL});
    copy("rel", "lib.so");
    cases.push_back({"a relative path", "rel/lib.so", E_ACCESSDENIED});
    const std::string foreignFile = copy("foreign-file", "lib.so");
    ASSERT_EQ(chown(foreignFile.c_str(), 65534, 65534), 0);
    cases.push_back({"a library of another user", foreignFile, E_ACCESSDENIED});
    const std::string openFile = copy("open-file", "lib.so");
    ASSERT_EQ(chmod(openFile.c_str(), 0666), 0);
    cases.push_back({"a library everyone may write", openFile, E_ACCESSDENIED});
    const std::string foreignDir = copy("foreign-dir", "lib.so");
    ASSERT_EQ(chown((dir_ + "/foreign-dir").c_str(), 65534, 65534), 0);
    cases.push_back({"a folder of another user", foreignDir, E_ACCESSDENIED});
    const std::string stickyDir = copy("sticky-dir", "lib.so");
    ASSERT_EQ(chmod((dir_ + "/sticky-dir").c_str(), 01777), 0);
    cases.push_back({"a folder everyone may add to", stickyDir, E_ACCESSDENIED});
    const std::string link = dir_ + "/own/link.so";
    ASSERT_EQ(symlink(foreignDir.c_str(), link.c_str()), 0);
    cases.push_back({"root's link to a library in another user's folder", link, E_ACCESSDENIED});

    const char* base = "{22222222-2222-3333-4444-5555555555";
    const std::string cwd = fs::current_path();
    fs::current_path(dir_);  // where a relative path would load from
    int n = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string clsid = base + std::to_string(++n) + "}";
        const std::string progId = "Trust.Case" + std::to_string(n);
        WriteValue("SOFTWARE\\Classes\\" + progId + "\\CLSID", clsid);
        WriteValue("SOFTWARE\\Classes\\CLSID\\" + clsid + "\\InprocServer32", c.path);
        ComPtr<IDispatch> object;
        EXPECT_EQ(CreateObjectByProgID(progId, object.Out()), c.expected);
        if (c.expected == E_ACCESSDENIED) {
            const std::string why = LastActivationError();
            EXPECT_TRUE(why.find(c.path) != std::string::npos ||
                        why.find(dir_) != std::string::npos)
                << why;
        }
    }
    fs::current_path(cwd);
    std::string why;
    EXPECT_EQ(CallServerRegistration(foreignFile, false, &why), E_ACCESSDENIED);
    EXPECT_NE(why.find("owner nobody (uid 65534)"), std::string::npos) << why;
}

TEST_F(Server, UnregisterRemovesOnlyWhatIsStillOurs) {
    ASSERT_EQ(reg_(), S_OK);
    ASSERT_EQ(unreg_(), S_OK);
    EXPECT_EQ(ReadValue(std::string("SOFTWARE\\Classes\\CLSID\\") + kClsid + "\\InprocServer32"),
              "<missing>");
    EXPECT_EQ(ReadValue(std::string("SOFTWARE\\Classes\\") + kProgId + "\\CLSID"), "<missing>");
    EXPECT_EQ(unreg_(), S_OK);  // nothing left to remove is not an error
    ComPtr<IDispatch> object;
    EXPECT_EQ(CreateObjectByProgID(kProgId, object.Out()), CO_E_CLASSSTRING);

    // Another server took the ProgID over since: its registration stays.
    ASSERT_EQ(reg_(), S_OK);
    const char* kOther = "{99999999-2222-3333-4444-555555555555}";
    WriteValue(std::string("SOFTWARE\\Classes\\") + kProgId + "\\CLSID", kOther);
    ASSERT_EQ(unreg_(), S_OK);
    EXPECT_EQ(ReadValue(std::string("SOFTWARE\\Classes\\") + kProgId + "\\CLSID"), kOther);
}

bool KeyExists(const std::string& path) {
    thermpos::platform::registry::KeyHolder key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.Out()) == ERROR_SUCCESS;
}

TEST_F(Server, UnregisterLeavesWhatOthersPutUnderOurKeys) {
    const std::string clsidKey = std::string("SOFTWARE\\Classes\\CLSID\\") + kClsid;
    const std::string progKey = std::string("SOFTWARE\\Classes\\") + kProgId;
    ASSERT_EQ(reg_(), S_OK);
    // Another installer's subkeys beside ours (a category, a newer version's name).
    WriteValue(clsidKey + "\\Implemented Categories", "theirs");
    WriteValue(progKey + "\\CurVer", "ThermPOS.Test.Object.2");
    ASSERT_EQ(unreg_(), S_OK);
    EXPECT_EQ(ReadValue(clsidKey + "\\Implemented Categories"), "theirs");
    EXPECT_EQ(ReadValue(progKey + "\\CurVer"), "ThermPOS.Test.Object.2");
    // Of ours, nothing: no value, and no key left empty.
    EXPECT_FALSE(KeyExists(clsidKey + "\\InprocServer32"));
    EXPECT_FALSE(KeyExists(clsidKey + "\\ProgID"));
    EXPECT_FALSE(KeyExists(progKey + "\\CLSID"));
    EXPECT_EQ(ReadValue(clsidKey), "<missing>");
    EXPECT_EQ(ReadValue(progKey), "<missing>");

    // Nothing else under them: the keys themselves go too.
    WriteValue(clsidKey + "\\Implemented Categories", "");
    ASSERT_EQ(reg_(), S_OK);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, (clsidKey + "\\Implemented Categories").c_str()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, (progKey + "\\CurVer").c_str()), ERROR_SUCCESS);
    ASSERT_EQ(unreg_(), S_OK);
    EXPECT_FALSE(KeyExists(clsidKey));
    EXPECT_FALSE(KeyExists(progKey));
}

TEST_F(Server, ASharedProgIdOfAnotherClassIsNeverTakenOver) {
    const CLSID ours = {0x0A1B2C3D, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
    const ServerClass classes[] = {
        {ours, "ThermPOS.Test.Shared", "ours", nullptr, true},
        {ours, "ThermPOS.Test.Own", "ours", nullptr, false},
    };
    const char* kTheirs = "{99999999-2222-3333-4444-555555555555}";
    WriteValue("SOFTWARE\\Classes\\ThermPOS.Test.Shared\\CLSID", kTheirs);
    EXPECT_EQ(RegisterServerClasses(classes, 2, "/opt/ours.so"), SELFREG_E_CLASS);
    EXPECT_EQ(ReadValue("SOFTWARE\\Classes\\ThermPOS.Test.Shared\\CLSID"), kTheirs);
    EXPECT_EQ(ReadValue("SOFTWARE\\Classes\\ThermPOS.Test.Own\\CLSID"), "<missing>");  // nothing
    // Once the other class is gone, the name is free.
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Classes\\ThermPOS.Test.Shared"),
              ERROR_SUCCESS);
    EXPECT_EQ(RegisterServerClasses(classes, 2, "/opt/ours.so"), S_OK);
    EXPECT_EQ(UnregisterServerClasses(classes, 2), S_OK);
}

TEST_F(Server, RegistrationThatCannotBeWrittenIsReportedAsFailure) {
    // A hive below a regular file can be written by nobody, root included.
    std::FILE* f = std::fopen((dir_ + "/plain").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    env_->Set("THERMPOS_REGISTRY", dir_ + "/plain/registry.reg");
    EXPECT_EQ(reg_(), SELFREG_E_CLASS);
}

TEST_F(Server, RegistrationRefusedByAReadOnlyHiveIsReportedAsFailure) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root may write a read-only file";
    ASSERT_EQ(reg_(), S_OK);
    ASSERT_EQ(chmod((dir_ + "/registry.reg").c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
    EXPECT_EQ(reg_(), SELFREG_E_CLASS);
    EXPECT_EQ(unreg_(), SELFREG_E_CLASS);
    chmod(dir_.c_str(), 0755);
}

TEST_F(Server, RegistrationAndCreationShareTheLibraryTableAcrossThreads) {
    ASSERT_EQ(
        thermpos::platform::com::CallServerRegistration(RealPath(TEST_SERVER_PATH), false, nullptr),
        S_OK);
    // A library without the entry point, or no library at all, each with its own code.
    std::string why;
    EXPECT_EQ(
        thermpos::platform::com::CallServerRegistration(RealPath(TEST_NOEXPORT_PATH), false, &why),
        CO_E_ERRORINDLL);
    EXPECT_EQ(thermpos::platform::com::CallServerRegistration(dir_ + "/absent.so", false, &why),
              CO_E_DLLNOTFOUND);
    EXPECT_FALSE(why.empty());

    std::vector<std::thread> threads;
    std::vector<HRESULT> results(4, E_FAIL);
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            HRESULT hr = S_OK;
            for (int i = 0; i < 20 && SUCCEEDED(hr); ++i) {
                if (t == 0) {
                    hr = thermpos::platform::com::CallServerRegistration(RealPath(TEST_SERVER_PATH),
                                                                         false, nullptr);
                } else {
                    ComPtr<IDispatch> object;
                    hr = CreateObjectByProgID(kProgId, object.Out());
                }
            }
            results[t] = hr;
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (HRESULT hr : results)
        EXPECT_EQ(hr, S_OK);
}

#ifdef THERMPOS_TOOL_PATH
int RunTool(const std::string& args) {
    std::string command = std::string(THERMPOS_TOOL_PATH) + " " + args + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(Server, RegisterCommandRunsTheServersOwnRegistration) {
    const std::string progKey = std::string("SOFTWARE\\Classes\\") + kProgId + "\\CLSID";
    EXPECT_EQ(RunTool(std::string("register ") + TEST_SERVER_PATH), 0);
    EXPECT_EQ(ReadValue(progKey), kClsid);
    ComPtr<IDispatch> object;
    EXPECT_EQ(CreateObjectByProgID(kProgId, object.Out()), S_OK);
    EXPECT_EQ(RunTool(std::string("register --unregister ") + TEST_SERVER_PATH), 0);
    EXPECT_EQ(ReadValue(progKey), "<missing>");

    EXPECT_NE(RunTool("register " + dir_ + "/absent.so"), 0);
    EXPECT_NE(RunTool(std::string("register ") + TEST_NOEXPORT_PATH), 0);
    EXPECT_NE(RunTool("register"), 0);
    EXPECT_EQ(RunTool("register --help"), 0);
}
#endif

}  // namespace
