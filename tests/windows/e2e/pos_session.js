// A point-of-sale session as a JScript application runs it: the service objects by
// ProgID, this script's own object as control object, receipts synchronous and
// asynchronous, a cover opened at the printer and the error answered with retry, the
// drawer opened and waited for. Exits 0 when every step and every callback was right,
// else the number of the first step that failed; each line it writes is a transcript.
//
// cscript //nologo pos_session.js PRINTER DRAWER CONTROL
//   PRINTER, DRAWER: logical device names; CONTROL: a command line that sends its
//   arguments to the virtual printer's control socket.
var args = WScript.Arguments;
var printerName = args(0), drawerName = args(1), control = args(2);
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

// The control object: the four callbacks by name, as properties of a script object.
var callbacks = {
    SOStatusUpdate: function (data) {
        onOwnThread();
        seen.status.push(data);
        log("SOStatusUpdate(" + data + ")");
        helper.Signal();
    },
    SOOutputComplete: function (id) {
        onOwnThread();
        seen.complete.push(id);
        log("SOOutputComplete(" + id + ")");
        helper.Signal();
    },
    SOError: function (rc, ext, locus, response) {
        onOwnThread();
        seen.errors.push(rc + "," + ext + "," + locus);
        var proposed;
        try { proposed = "" + response; } catch (e) { proposed = "<by reference: " + e.message + ">"; }
        log("SOError(" + rc + ", " + ext + ", " + locus + ", " + proposed + ")");
        // A script cannot write a by-reference argument; the proposed answer is retry,
        // which is what this session wants once the cover is shut again.
        printerControl("cover close");
        answerRetry = true;
        helper.Signal();
    },
    SODirectIO: function (number, data, text) { onOwnThread(); }
};

// Waits, pumping this thread's messages, until test() holds or 10 s pass.
function waitFor(step, what, test) {
    for (var i = 0; i < 100 && !test(); i++) helper.Wait(100);
    if (!test()) fail(step, "no " + what);
}
function has(list, value) {
    for (var i = 0; i < list.length; i++) if (list[i] == value) return true;
    return false;
}

var printer = new ActiveXObject("QMX.Thermal.POSPrinter");
var rc = printer.OpenService("POSPrinter", printerName, callbacks);
log("OpenService -> " + rc);
if (rc != 0) fail(1, "OpenService " + rc);
if ((rc = printer.ClaimDevice(5000)) != 0) fail(2, "ClaimDevice " + rc);
printer.SetPropertyNumber(3 /* PIDX_DeviceEnabled */, 1);
if (printer.GetPropertyNumber(3) != 1) fail(3, "not enabled: " + printer.GetPropertyNumber(6));
log("ClaimDevice, DeviceEnabled -> 0");

var PTR_S_RECEIPT = 2, PIDX_DeviceEnabled = 3, PIDX_ResultCode = 6;
var PIDXPtr_AsyncMode = 8001, PTR_SUE_COVER_OPEN = 11, OPOS_E_EXTENDED = 114;
var OPOS_EPTR_COVER_OPEN = 201, OPOS_EL_OUTPUT = 1;

rc = printer.PrintNormal(PTR_S_RECEIPT, "E2E sync receipt\n");
log("PrintNormal(sync) -> " + rc);
if (rc != 0) fail(4, "PrintNormal sync " + rc);

printer.SetPropertyNumber(PIDXPtr_AsyncMode, 1);
rc = printer.PrintNormal(PTR_S_RECEIPT, "E2E async receipt\n");
log("PrintNormal(async) -> " + rc);
if (rc != 0) fail(5, "PrintNormal async " + rc);
waitFor(6, "SOOutputComplete", function () { return seen.complete.length >= 1; });

// The cover opened at the printer: a status update, then an asynchronous job fails with
// the cover's extended code, is answered retry, and prints once the cover is shut.
printerControl("cover open");
waitFor(7, "SOStatusUpdate(" + PTR_SUE_COVER_OPEN + ")",
        function () { return has(seen.status, PTR_SUE_COVER_OPEN); });
rc = printer.PrintNormal(PTR_S_RECEIPT, "E2E retried receipt\n");
log("PrintNormal(async, cover open) -> " + rc);
if (rc != 0) fail(8, "PrintNormal async with the cover open " + rc);
waitFor(9, "SOError", function () { return seen.errors.length >= 1; });
if (seen.errors[0] != OPOS_E_EXTENDED + "," + OPOS_EPTR_COVER_OPEN + "," + OPOS_EL_OUTPUT)
    fail(9, "SOError " + seen.errors[0]);
waitFor(10, "SOOutputComplete after the retry", function () { return seen.complete.length >= 2; });
printer.SetPropertyNumber(PIDXPtr_AsyncMode, 0);
printer.SetPropertyNumber(PIDX_DeviceEnabled, 0);
printer.ReleaseDevice();
if ((rc = printer.CloseService()) != 0) fail(11, "CloseService " + rc);
log("CloseService -> 0");

// The drawer behind the same printer: opened, then waited for until it is shut again.
var drawerEvents = [];
var drawerCallbacks = {
    SOStatusUpdate: function (data) {
        onOwnThread();
        drawerEvents.push(data);
        log("drawer SOStatusUpdate(" + data + ")");
        helper.Signal();
    },
    SOOutputComplete: function (id) { onOwnThread(); },
    SOError: function (rc, ext, locus, response) { onOwnThread(); },
    SODirectIO: function (number, data, text) { onOwnThread(); }
};
var drawer = new ActiveXObject("QMX.Thermal.CashDrawer");
if ((rc = drawer.OpenService("CashDrawer", drawerName, drawerCallbacks)) != 0)
    fail(12, "drawer OpenService " + rc);
if ((rc = drawer.ClaimDevice(5000)) != 0) fail(13, "drawer ClaimDevice " + rc);
drawer.SetPropertyNumber(PIDX_DeviceEnabled, 1);
if ((rc = drawer.OpenDrawer()) != 0) fail(14, "OpenDrawer " + rc);
log("OpenDrawer -> 0");
rc = drawer.WaitForDrawerClose(10000, 1000, 100, 500);
log("WaitForDrawerClose -> " + rc);
if (rc != 0) fail(15, "WaitForDrawerClose " + rc);
waitFor(16, "drawer closed event", function () { return has(drawerEvents, 0); });
drawer.SetPropertyNumber(PIDX_DeviceEnabled, 0);
drawer.ReleaseDevice();
if ((rc = drawer.CloseService()) != 0) fail(17, "drawer CloseService " + rc);

if (wrongThread != 0) fail(18, wrongThread + " callbacks on another thread");
log("callbacks: " + seen.status.length + " status, " + seen.complete.length + " complete, " +
    seen.errors.length + " error, " + drawerEvents.length + " drawer; all on thread " + mainThread);
WScript.Quit(0);
