// A printer model in one place: everything that sets a model apart, as data, in the model's
// own file (so/printer/Printer<Model>.cpp), which registers it at static initialisation
// together with the device class that serves it. The family's code, the status monitor,
// the setup utility and the installation tool find the model here, by its logical device
// name or its model key, instead of naming models themselves.
//
// A new model needs its file (profile, device class, registration) and its logical devices
// in tools/device_catalogue.h; on USB, its model key's hardware key in portlib/UsbModels.cpp.
//
// No threads. Profiles are registered only during static initialisation, before any lookup,
// and never change afterwards, so lookups from any thread need no lock.
#pragma once

#include <array>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/win32.h"
#include "so/core/DeviceFactory.h"
#include "so/core/StatusMonitor.h"
#include "so/printer/PrintCommands.h"
#include "so/printer/SidewaysData.h"

namespace thermpos::so {

// Characters per line and sideways lines chosen at open.
struct LineLayout {
    LONG sidewaysMaxLines;
    std::string recLineCharsList;
    LONG columnSetting;
};

// What the setup utility offers for the model's printers.
struct SetupFacts {
    // The paper widths (mm) the model takes, in increasing order; 0 past the last.
    std::array<LONG, 4> paperWidths;
    // The setup utility opens on this model's printer when the list holds it.
    bool openFirst;
};

// What sets one model apart, as data; behaviour that differs lives in the model classes.
struct ModelProfile {
    // The logical device name the model's class serves (compared without regard to case).
    const char* deviceName;
    // The model key: the default PhysicalDeviceID, naming the printer's USB printing
    // instances and, whatever model serves the device, choosing `monitor` below.
    const char* modelKey;
    LONG fontCount;
    const char* fontTypefaceList;
    FontCell cells[3];
    const char* characterSetList;
    // Characters per line of font A chosen by the "Column" value ("000" is narrow).
    LONG (*columnSetting)(bool narrow, LONG paperWidth);
    // The open step: sideways lines, the RecLineChars list and the final column setting.
    LineLayout (*openLayout)(LONG paperWidth, LONG columnSetting);
    // The command codes the model handles itself over the thermal family's table.
    std::span<const ModelCommand> commands;
    // How the status monitor keeps the status request going for printers of this key.
    MonitorProfile monitor;
    SetupFacts setup;
};

// Registers a model at static initialisation: its profile, and its device class under the
// profile's logical device name.
struct ModelRegistration {
    ModelRegistration(const ModelProfile& profile, DeviceCreator creator);
};

// Every registered model, in registration order. The span stays valid for the process.
std::span<const ModelProfile* const> ModelProfiles();
// The model whose logical device name this is (without regard to case), or null.
const ModelProfile* FindModelByDeviceName(std::string_view deviceName);
// The model with this model key (without regard to case), or null.
const ModelProfile* FindModelByKey(std::string_view modelKey);

}  // namespace thermpos::so
