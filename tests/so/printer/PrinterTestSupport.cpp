#include "tests/so/printer/PrinterTestSupport.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/dispatch.h"
#include "platform/registry.h"
#include "platform/registry_paths.h"
#include "platform/regkey.h"
#include "tests/support/temp_env.h"

namespace printertest {

namespace {

// Before main: every registry or lock use of the process goes to the private folder.
const std::string& Setup() {
    thermpos::testing::TempEnv& env = thermpos::testing::ProcessEnv();
    if (!env.ok()) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    env.Set("THERMPOS_ACP", "1252");
    return env.Dir();
}
const bool kSetUp = !Setup().empty();

}  // namespace

const std::string& TempDir() {
    return Setup();
}

void WriteDevice(const std::string& deviceName, const std::map<std::string, std::string>& values) {
    const std::string path = thermpos::platform::regpath::kPrinterRoot + deviceName;
    if (const LONG rc = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
        rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        throw std::runtime_error("cannot delete " + path);
    }
    thermpos::platform::registry::KeyHolder key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.Out(), nullptr) != ERROR_SUCCESS) {
        throw std::runtime_error("cannot create " + path);
    }
    auto set = [&](const char* name, const std::string& value) {
        if (RegSetValueExA(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                           static_cast<DWORD>(value.size() + 1)) != ERROR_SUCCESS) {
            throw std::runtime_error("cannot set a value in " + path);
        }
    };
    set(nullptr, "QMX.Thermal.POSPrinter");
    for (const auto& [name, value] : values) {
        set(name.c_str(), value);
    }
}

void OpenAs(CThermalPrinter& printer, const char* name, RecordingControl& control,
            std::map<std::string, std::string> values) {
    values.emplace("Port", "COM7");
    WriteDevice(name, values);
    ASSERT_EQ(printer.OpenService("POSPrinter", name, &control), 0) << name;
}

void ClaimAndEnable(CThermalPrinter& printer) {
    ASSERT_EQ(printer.ClaimDevice(0), 0);
    printer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    ASSERT_EQ(printer.ResultCode(), 0);
}

// ---------------------------------------------------------------------------------------

HRESULT RecordingControl::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    static const char16_t* const kNames[] = {u"SOStatusUpdate", u"SOOutputComplete", u"SOError",
                                             u"SODirectIO"};
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        for (int k = 0; k < 4; ++k) {
            if (std::u16string_view(thermpos::platform::com::AsUtf16(names[i])) == kNames[k]) {
                ids[i] = k + 1;
            }
        }
        if (ids[i] == DISPID_UNKNOWN) {
            return DISP_E_UNKNOWNNAME;
        }
    }
    return S_OK;
}

HRESULT RecordingControl::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                 EXCEPINFO*, UINT*) {
    ControlEvent event{ControlEvent::StatusUpdate, 0, 0, 0, {}};
    const UINT n = params->cArgs;
    auto arg = [&](UINT fromFirst) -> VARIANT& { return params->rgvarg[n - 1 - fromFirst]; };
    switch (id) {
        case 1:
            event.kind = ControlEvent::StatusUpdate;
            event.value1 = arg(0).lVal;
            break;
        case 2:
            event.kind = ControlEvent::OutputComplete;
            event.value1 = arg(0).lVal;
            break;
        case 3: {
            event.kind = ControlEvent::Error;
            event.value1 = arg(0).lVal;
            event.value2 = arg(1).lVal;
            event.value3 = arg(2).lVal;
            std::function<LONG(const ControlEvent&)> answer;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                answer = answer_;
            }
            *arg(3).plVal = answer ? answer(event) : OPOS_ER_RETRY;
            break;
        }
        default:
            event.kind = ControlEvent::DirectIO;
            event.value1 = arg(0).lVal;
            event.value2 = *arg(1).plVal;
            if (BSTR text = *arg(2).pbstrVal) {
                event.text =
                    thermpos::platform::com::WideToAnsi(thermpos::platform::com::BstrView(text));
            }
            break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
    changed_.notify_all();
    return S_OK;
}

void RecordingControl::SetErrorAnswer(std::function<LONG(const ControlEvent&)> answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = std::move(answer);
}

std::vector<ControlEvent> RecordingControl::Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

std::vector<ControlEvent> RecordingControl::EventsOf(ControlEvent::Kind kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ControlEvent> selected;
    for (const ControlEvent& e : events_) {
        if (e.kind == kind) {
            selected.push_back(e);
        }
    }
    return selected;
}

bool RecordingControl::WaitUntil(const std::function<bool(const std::vector<ControlEvent>&)>& done,
                                 std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return done(events_); });
}

void RecordingControl::Recheck() {
    std::lock_guard<std::mutex> lock(mutex_);
    changed_.notify_all();
}

bool RecordingControl::WaitFor(ControlEvent::Kind kind, std::size_t count,
                               std::chrono::milliseconds limit) {
    return WaitUntil(
        [&](const std::vector<ControlEvent>& events) {
            return static_cast<std::size_t>(std::count_if(
                       events.begin(), events.end(),
                       [&](const ControlEvent& e) { return e.kind == kind; })) >= count;
        },
        limit);
}

bool RecordingControl::WaitForOutput(LONG outputId, std::chrono::milliseconds limit) {
    return WaitForEvent(ControlEvent::OutputComplete, outputId, limit);
}

bool RecordingControl::WaitForStatus(LONG status, std::chrono::milliseconds limit) {
    return WaitForEvent(ControlEvent::StatusUpdate, status, limit);
}

bool RecordingControl::WaitForEvent(ControlEvent::Kind kind, LONG value1,
                                    std::chrono::milliseconds limit) {
    return WaitUntil(
        [&](const std::vector<ControlEvent>& events) {
            return std::any_of(events.begin(), events.end(), [&](const ControlEvent& e) {
                return e.kind == kind && e.value1 == value1;
            });
        },
        limit);
}

void RecordingControl::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
}

}  // namespace printertest
