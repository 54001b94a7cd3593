// The drawers on kick connector pin 2 (CD1) and pin 5 (CD2), and the logical device
// names that create them.
#include "so/drawer/CashDrawers.h"

#include "so/core/DeviceConfig.h"
#include "so/core/DeviceFactory.h"

namespace thermpos::so {

template <BYTE Connector>
CKickConnectorDrawer<Connector>::~CKickConnectorDrawer() {
    // Here, while the drawer is whole, so its own disable runs.
    if (State() != OPOS_S_CLOSED)
        Close();
}

template <BYTE Connector>
LONG CKickConnectorDrawer<Connector>::OpenService(const std::string& deviceClass,
                                                  const std::string& deviceName,
                                                  IDispatch* dispatch) {
    LONG rc = CTimedDrawerDevice::OpenService(deviceClass, deviceName, dispatch);
    if (rc == OPOS_SUCCESS)
        m_CapStatus = m_ConfiguredCapStatus;
    return rc;
}

template <BYTE Connector>
void CKickConnectorDrawer<Connector>::ReadConfiguration(const std::string& deviceClass,
                                                        const std::string& deviceName) {
    CTimedDrawerDevice::ReadConfiguration(deviceClass, deviceName);
    // Only the code text "001" says the drawer has a switch the printer can sense.
    m_ConfiguredCapStatus = ReadDeviceValue("CapStatus", deviceClass, deviceName) == "001" ? 1 : 0;
}

template <BYTE Connector>
LONG CKickConnectorDrawer<Connector>::BuildDrawerCommand(LONG kind, LONG option,
                                                         std::vector<BYTE>* buffer, LONG* length) {
    if (kind != 1 || buffer == nullptr || length == nullptr)
        return CTimedDrawerDevice::BuildDrawerCommand(kind, option, buffer, length);
    // Real-time pulse: DLE DC4 1, connector, on-time in 100 ms units.
    *buffer = {0x10, 0x14, 0x01, Connector, static_cast<BYTE>(m_OnTime & 0xFF)};
    *length = static_cast<LONG>(buffer->size());
    return OPOS_SUCCESS;
}

template class CKickConnectorDrawer<0x00>;
template class CKickConnectorDrawer<0x01>;

namespace {

template <class Drawer>
DeviceCreator Create() {
    return [] { return std::unique_ptr<CServiceDevice>(new Drawer); };
}

const DeviceRegistration kRtk410Cd1("CashDrawer", "RTK410.TALVERN.CD1", Create<CCashDrawer1>());
const DeviceRegistration kRtk410Cd2("CashDrawer", "RTK410.TALVERN.CD2", Create<CCashDrawer2>());
const DeviceRegistration kQmx5500Cd1("CashDrawer", "QMX5500TYPEII.TALVERN.CD1",
                                     Create<CCashDrawer1>());
const DeviceRegistration kQmx5500Cd2("CashDrawer", "QMX5500TYPEII.TALVERN.CD2",
                                     Create<CCashDrawer2>());
const DeviceRegistration kRtk6100Cd1("CashDrawer", "RTK6100.TALVERN.CD1", Create<CCashDrawer1>());
const DeviceRegistration kRtk6100Cd2("CashDrawer", "RTK6100.TALVERN.CD2", Create<CCashDrawer2>());

}  // namespace

}  // namespace thermpos::so
