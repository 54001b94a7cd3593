#include "tools/device_session.h"

#include <map>

namespace thermpos::tool {

namespace {

std::string Named(const std::map<LONG, const char*>& names, LONG code) {
    auto it = names.find(code);
    if (it == names.end())
        return std::to_string(code);
    return std::string(it->second) + " (" + std::to_string(code) + ")";
}

}  // namespace

std::string ResultName(LONG resultCode) {
    static const std::map<LONG, const char*> names = {
        {OPOS_SUCCESS, "OPOS_SUCCESS"},         {OPOS_E_CLOSED, "OPOS_E_CLOSED"},
        {OPOS_E_CLAIMED, "OPOS_E_CLAIMED"},     {OPOS_E_NOTCLAIMED, "OPOS_E_NOTCLAIMED"},
        {OPOS_E_NOSERVICE, "OPOS_E_NOSERVICE"}, {OPOS_E_DISABLED, "OPOS_E_DISABLED"},
        {OPOS_E_ILLEGAL, "OPOS_E_ILLEGAL"},     {OPOS_E_NOHARDWARE, "OPOS_E_NOHARDWARE"},
        {OPOS_E_OFFLINE, "OPOS_E_OFFLINE"},     {OPOS_E_NOEXIST, "OPOS_E_NOEXIST"},
        {OPOS_E_EXISTS, "OPOS_E_EXISTS"},       {OPOS_E_FAILURE, "OPOS_E_FAILURE"},
        {OPOS_E_TIMEOUT, "OPOS_E_TIMEOUT"},     {OPOS_E_BUSY, "OPOS_E_BUSY"},
        {OPOS_E_EXTENDED, "OPOS_E_EXTENDED"},
    };
    return Named(names, resultCode);
}

std::string ExtendedName(LONG resultCodeExtended) {
    static const std::map<LONG, const char*> names = {
        {OPOS_EPTR_COVER_OPEN, "OPOS_EPTR_COVER_OPEN"},
        {OPOS_EPTR_JRN_EMPTY, "OPOS_EPTR_JRN_EMPTY"},
        {OPOS_EPTR_REC_EMPTY, "OPOS_EPTR_REC_EMPTY"},
        {OPOS_EPTR_SLP_EMPTY, "OPOS_EPTR_SLP_EMPTY"},
        {OPOS_EPTR_SLP_FORM, "OPOS_EPTR_SLP_FORM"},
        {OPOS_EPTR_TOOBIG, "OPOS_EPTR_TOOBIG"},
        {OPOS_EPTR_BADFORMAT, "OPOS_EPTR_BADFORMAT"},
        {OPOS_ESTATS_ERROR, "OPOS_ESTATS_ERROR"},
    };
    return Named(names, resultCodeExtended);
}

std::string OpenResultName(LONG openResult) {
    static const std::map<LONG, const char*> names = {
        {OPOS_OR_ALREADYOPEN, "OPOS_OR_ALREADYOPEN"},
        {OPOS_OR_REGBADNAME, "OPOS_OR_REGBADNAME"},
        {OPOS_OR_REGPROGID, "OPOS_OR_REGPROGID"},
        {OPOS_OR_CREATE, "OPOS_OR_CREATE"},
        {OPOS_OR_BADIF, "OPOS_OR_BADIF"},
        {OPOS_OR_FAILEDOPEN, "OPOS_OR_FAILEDOPEN"},
        {OPOS_OR_BADVERSION, "OPOS_OR_BADVERSION"},
        {OPOS_ORS_NOPORT, "OPOS_ORS_NOPORT"},
        {OPOS_ORS_NOTSUPPORTED, "OPOS_ORS_NOTSUPPORTED"},
        {OPOS_ORS_CONFIG, "OPOS_ORS_CONFIG"},
    };
    return Named(names, openResult);
}

std::string DescribeResult(opos::Control& control, LONG resultCode) {
    std::string text = ResultName(resultCode);
    if (resultCode == OPOS_E_EXTENDED)
        text += ", extended " + ExtendedName(control.GetNumberProperty("ResultCodeExtended"));
    return text;
}

bool StartDevice(const char* command, opos::Control& control, const std::string& device,
                 LONG claimTimeout) {
    auto fail = [&](const std::string& what) {
        std::fprintf(stderr, "thermpos %s: %s\n", command, what.c_str());
        control.Close();
        return false;
    };
    if (LONG rc = control.Open(device); rc != OPOS_SUCCESS)
        return fail("cannot open '" + device + "': " + ResultName(rc) + ", open result " +
                    OpenResultName(control.OpenResult()));
    if (LONG rc = control.ClaimDevice(claimTimeout); rc != OPOS_SUCCESS)
        return fail("cannot claim '" + device + "': " + DescribeResult(control, rc));
    control.SetNumberProperty("DeviceEnabled", 1);
    if (LONG rc = control.GetNumberProperty("ResultCode"); rc != OPOS_SUCCESS)
        return fail("cannot enable '" + device + "': " + DescribeResult(control, rc));
    return true;
}

}  // namespace thermpos::tool
