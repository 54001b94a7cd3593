// A point-of-sale session as a JScript application runs it: receipts synchronous and
// asynchronous, a cover opened at the printer and the error answered with retry, the
// drawer opened and waited for. Exits 0 when every step and every callback was right,
// else the number of the first step that failed; each line it writes is a transcript.
//
// cscript //nologo pos_session.js PRINTER DRAWER CONTROL [so|co]
//   PRINTER, DRAWER: logical device names; CONTROL: a command line that sends its
//   arguments to the virtual printer's control socket. so (the default): the service
//   objects by their ProgIDs, this script's object as control object (SOStatusUpdate
//   and the rest). co: our control objects by theirs, the same object as their
//   EventSink (StatusUpdateEvent and the rest), events delivered as they happen.
var args = WScript.Arguments;
var printerName = args(0), drawerName = args(1), control = args(2);
var binding = args.length > 3 ? args(3) : "so";
var shell = new ActiveXObject("WScript.Shell");
var helper = new ActiveXObject("ThermPOS.Test.ScriptHelper");
var mainThread = helper.ThreadId();
var wrongThread = 0;
var seen = {status: [], complete: [], errors: []};
var answerRetry = false;

function log(text) { WScript.Echo(text); }
function fail(step, text) { log("FAIL " + step + ": " + text); WScript.Quit(step); }
function onOwnThread() { if (helper.ThreadId() != mainThread) wrongThread++; }
function printerControl(command) { return shell.Run(control + " " + command, 0, true); }

// The four callbacks by name, as properties of a script object.
var callbacks = {
    SOStatusUpdate: function (data) {
        onOwnThread();
        seen.status.push(data);
        log(named("SOStatusUpdate") + "(" + data + ")");
        helper.Signal();
    },
    SOOutputComplete: function (id) {
        onOwnThread();
        seen.complete.push(id);
        log(named("SOOutputComplete") + "(" + id + ")");
        helper.Signal();
    },
    SOError: function (rc, ext, locus, response) {
        onOwnThread();
        seen.errors.push(rc + "," + ext + "," + locus);
        var proposed;
        try { proposed = "" + response; } catch (e) { proposed = "<by reference: " + e.message + ">"; }
        log(named("SOError") + "(" + rc + ", " + ext + ", " + locus + ", " + proposed + ")");
        // A script cannot write a by-reference argument; the proposed answer is retry,
        // which is what this session wants once the cover is shut again.
        printerControl("cover close");
        answerRetry = true;
        helper.Signal();
    },
    SODirectIO: function (number, data, text) { onOwnThread(); }
};

// A device of either binding: open, properties by name, close. Methods of the same name
// on both (ClaimDevice, PrintNormal, OpenDrawer, ...) are called on the object itself.
var kPropertyIndex = {DeviceEnabled: 3, ResultCode: 6, AsyncMode: 8001};
var kEventNames = {SOStatusUpdate: "StatusUpdateEvent", SOOutputComplete: "OutputCompleteEvent",
                   SOError: "ErrorEvent", SODirectIO: "DirectIOEvent"};
function openDevice(deviceClass, name, handlers) {
    var device;
    if (binding == "co") {
        device = new ActiveXObject(deviceClass == "POSPrinter"
                                       ? "OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter"
                                       : "OposCashDrawer_1_8_LibCtl.OPOSCashDrawer");
        var sink = {};
        for (var so in kEventNames) sink[kEventNames[so]] = handlers[so];
        device.EventSink = sink;
        device.DirectEvents = true;
        return {device: device, rc: device.Open(name)};
    }
    device = new ActiveXObject(deviceClass == "POSPrinter" ? "QMX.Thermal.POSPrinter"
                                                           : "QMX.Thermal.CashDrawer");
    return {device: device, rc: device.OpenService(deviceClass, name, handlers)};
}
function setProperty(device, name, value) {
    if (binding == "co") device[name] = value;
    else device.SetPropertyNumber(kPropertyIndex[name], value ? 1 : 0);
}
function getNumber(device, name) {
    return binding == "co" ? Number(device[name]) : device.GetPropertyNumber(kPropertyIndex[name]);
}
// The name a callback was called by, for the transcript.
function named(so) { return binding == "co" ? kEventNames[so] : so; }
function closeDevice(device) { return binding == "co" ? device.Close() : device.CloseService(); }
var tag = "E2E js " + binding + " ";

// Waits, pumping this thread's messages, until test() holds or 10 s pass.
function waitFor(step, what, test) {
    for (var i = 0; i < 100 && !test(); i++) helper.Wait(100);
    if (!test()) fail(step, "no " + what);
}
function has(list, value) {
    for (var i = 0; i < list.length; i++) if (list[i] == value) return true;
    return false;
}

var opened = openDevice("POSPrinter", printerName, callbacks), printer = opened.device;
var rc = opened.rc;
log("Open -> " + rc);
if (rc != 0) fail(1, "Open " + rc);
if ((rc = printer.ClaimDevice(5000)) != 0) fail(2, "ClaimDevice " + rc);
setProperty(printer, "DeviceEnabled", true);
if (getNumber(printer, "DeviceEnabled") != 1)
    fail(3, "not enabled: " + getNumber(printer, "ResultCode"));
log("ClaimDevice, DeviceEnabled -> 0");

var PTR_S_RECEIPT = 2, PTR_SUE_COVER_OPEN = 11, OPOS_E_EXTENDED = 114;
var OPOS_EPTR_COVER_OPEN = 201, OPOS_EL_OUTPUT = 1;

rc = printer.PrintNormal(PTR_S_RECEIPT, tag + "sync receipt\n");
log("PrintNormal(sync) -> " + rc);
if (rc != 0) fail(4, "PrintNormal sync " + rc);

setProperty(printer, "AsyncMode", true);
rc = printer.PrintNormal(PTR_S_RECEIPT, tag + "async receipt\n");
log("PrintNormal(async) -> " + rc);
if (rc != 0) fail(5, "PrintNormal async " + rc);
waitFor(6, "SOOutputComplete", function () { return seen.complete.length >= 1; });

// The cover opened at the printer: a status update, then an asynchronous job fails with
// the cover's extended code, is answered retry, and prints once the cover is shut.
printerControl("cover open");
waitFor(7, "SOStatusUpdate(" + PTR_SUE_COVER_OPEN + ")",
        function () { return has(seen.status, PTR_SUE_COVER_OPEN); });
rc = printer.PrintNormal(PTR_S_RECEIPT, tag + "retried receipt\n");
log("PrintNormal(async, cover open) -> " + rc);
if (rc != 0) fail(8, "PrintNormal async with the cover open " + rc);
waitFor(9, "SOError", function () { return seen.errors.length >= 1; });
if (seen.errors[0] != OPOS_E_EXTENDED + "," + OPOS_EPTR_COVER_OPEN + "," + OPOS_EL_OUTPUT)
    fail(9, "SOError " + seen.errors[0]);
waitFor(10, "SOOutputComplete after the retry", function () { return seen.complete.length >= 2; });
setProperty(printer, "AsyncMode", false);
setProperty(printer, "DeviceEnabled", false);
printer.ReleaseDevice();
if ((rc = closeDevice(printer)) != 0) fail(11, "Close " + rc);
log("Close -> 0");

// The drawer behind the same printer: opened, then waited for until it is shut again.
var drawerEvents = [];
var drawerCallbacks = {
    SOStatusUpdate: function (data) {
        onOwnThread();
        drawerEvents.push(data);
        log("drawer " + named("SOStatusUpdate") + "(" + data + ")");
        helper.Signal();
    },
    SOOutputComplete: function (id) { onOwnThread(); },
    SOError: function (rc, ext, locus, response) { onOwnThread(); },
    SODirectIO: function (number, data, text) { onOwnThread(); }
};
opened = openDevice("CashDrawer", drawerName, drawerCallbacks);
var drawer = opened.device;
if ((rc = opened.rc) != 0) fail(12, "drawer Open " + rc);
if ((rc = drawer.ClaimDevice(5000)) != 0) fail(13, "drawer ClaimDevice " + rc);
setProperty(drawer, "DeviceEnabled", true);
if ((rc = drawer.OpenDrawer()) != 0) fail(14, "OpenDrawer " + rc);
log("OpenDrawer -> 0");
rc = drawer.WaitForDrawerClose(10000, 1000, 100, 500);
log("WaitForDrawerClose -> " + rc);
if (rc != 0) fail(15, "WaitForDrawerClose " + rc);
waitFor(16, "drawer closed event", function () { return has(drawerEvents, 0); });
setProperty(drawer, "DeviceEnabled", false);
drawer.ReleaseDevice();
if ((rc = closeDevice(drawer)) != 0) fail(17, "drawer Close " + rc);

if (wrongThread != 0) fail(18, wrongThread + " callbacks on another thread");
log("callbacks: " + seen.status.length + " status, " + seen.complete.length + " complete, " +
    seen.errors.length + " error, " + drawerEvents.length + " drawer; all on thread " + mainThread);
WScript.Quit(0);
