// The two drawers a printer can drive: connector pin 2 (CD1) and pin 5 (CD2). They
// differ only in the connector byte of the pulse command; both read CapStatus.
#pragma once

#include "so/drawer/CashDrawerDevice.h"

namespace thermpos::so {

template <BYTE Connector>
class CKickConnectorDrawer : public CTimedDrawerDevice {
  public:
    ~CKickConnectorDrawer() override;

    LONG OpenService(const std::string& deviceClass, const std::string& deviceName,
                     IDispatch* dispatch) override;  // 15
    void ReadConfiguration(const std::string& deviceClass,
                           const std::string& deviceName) override;  // 20
    LONG BuildDrawerCommand(LONG kind, LONG option, std::vector<BYTE>* buffer,
                            LONG* length) override;  // 31

  private:
    LONG m_ConfiguredCapStatus = 0;
};

extern template class CKickConnectorDrawer<0x00>;
extern template class CKickConnectorDrawer<0x01>;

class CCashDrawer1 : public CKickConnectorDrawer<0x00> {};
class CCashDrawer2 : public CKickConnectorDrawer<0x01> {};

}  // namespace thermpos::so
