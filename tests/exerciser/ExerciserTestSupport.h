// Shared pieces of the PrnExerciser tests: a control object stand-in that answers any
// member by name from tables the test fills, scripted message boxes, and the test main.
#pragma once

#include <QApplication>
#include <QtTest>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "exerciser/MessageBoxes.h"
#include "exerciser/ParentForm.h"
#include "platform/automation.h"

namespace extest {

// The program's names every window test speaks of; the tests take them with the rest of
// extest (using namespace extest).
using exerciser::CMessageBoxes;
using exerciser::ParentForm;
using exerciser::StatusBox;

// The RT-K410's printer and drawer, which the exercises on the virtual printer run, and the
// name the virtual printer is entered as in the Ports map.
inline constexpr char kPrinter[] = "RTK410.TALVERN.POSPrinter";
inline constexpr char kDrawer[] = "RTK410.TALVERN.CD1";
inline constexpr char kPort[] = "COM24";

// A control object reached by name: properties from `numbers`, `bools` and `strings`,
// methods answering `results` (OPOS_SUCCESS when absent). Every method call and property
// put is recorded as "Name(arg,arg)" or "Name=value". Names in `missing` are unknown.
class FakeControl final : public IDispatch {
  public:
    static FakeControl* Create() { return new FakeControl; }  // reference count 1

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                            DISPID* dispIds) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispId, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override;

    // Calls whose name starts with prefix.
    std::vector<std::string> CallsOf(const std::string& prefix) const;
    // Fires an event at the sink the program set (by DISPID, arguments in declared order).
    HRESULT FireStatusUpdate(LONG data);
    HRESULT FireError(LONG resultCode, LONG extended, LONG locus, LONG* response);

    std::map<std::string, LONG> numbers;
    std::set<std::string> bools;  // names of `numbers` answered as VT_BOOL
    std::map<std::string, std::string> strings;
    std::map<std::string, LONG> results;
    std::set<std::string> missing;
    std::vector<std::string> calls;
    // Runs after a method is recorded, before it answers.
    std::function<void(const std::string& method)> onCall;
    IDispatch* sink = nullptr;  // AddRef'd

  private:
    FakeControl() = default;
    ~FakeControl();
    std::atomic<ULONG> refs_{1};
    std::vector<std::string> names_;
};

// A printer control object as an idle RT-K410 would answer before it is opened.
FakeControl* ClosedPrinter();

struct Shown {
    std::string text;
    std::string title;
    exerciser::CMessageBoxes::Icon icon;
    exerciser::CMessageBoxes::Buttons buttons;
};

class ScriptedMessages : public exerciser::CMessageBoxes {
  public:
    Reply Show(const std::string& text, const std::string& title, Icon icon,
               Buttons buttons) override;
    std::string OpenFile(const std::string& title, const std::string& filter,
                         const std::string& fileName, const std::string& folder) override;

    std::deque<Reply> replies;  // then Ok / No / Cancel
    std::vector<Shown> shown;
    std::deque<std::string> files;  // answers of OpenFile; then the file name unchanged
    std::vector<std::string> dialogs;
    std::function<void(const std::string& text)> onShow;
};

// The result list's lines; empty while the result window is not loaded.
QStringList ResultLines(exerciser::ParentForm& window);

// Chooses printer in the control panel and presses Open, Claim and Enable. True when the
// result list then holds the three successes; the list is emptied for what follows.
[[nodiscard]] bool OpenClaimEnable(exerciser::ParentForm& window, const char* printer);

// Waits (turning the event loop) until condition holds, up to limitMs.
bool WaitFor(const std::function<bool()>& condition, int limitMs = 10000);

}  // namespace extest

// Runs a Qt Test class on the offscreen platform; the process's registry hive and lock
// folder are private (tests/so's support sets them up before main).
#define EXERCISER_TEST_MAIN(TestClass)                        \
    int main(int argc, char** argv) {                         \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) { \
            qputenv("QT_QPA_PLATFORM", "offscreen");          \
        }                                                     \
        QApplication app(argc, argv);                         \
        QApplication::setApplicationName("PrnExerciser");     \
        QApplication::setApplicationVersion("1.8.0");         \
        TestClass test;                                       \
        return QTest::qExec(&test, argc, argv);               \
    }
