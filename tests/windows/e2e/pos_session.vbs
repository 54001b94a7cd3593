' The point-of-sale session of pos_session.js as a VBScript application runs it: the
' callbacks are methods of a script class instance (reached by name through IDispatchEx),
' their arguments come by reference, and the error is answered retry by writing the
' response argument. Exits 0 when every step and callback was right, else the step.
'
' cscript //nologo pos_session.vbs PRINTER DRAWER CONTROL [so|co]
'   so (the default): the service objects by their ProgIDs, the instance as control
'   object; co: our control objects by theirs, the instance as their EventSink.
Option Explicit

Dim shell, helper, mainThread, wrongThread, control, binding, tag
Set shell = CreateObject("WScript.Shell")
Set helper = CreateObject("ThermPOS.Test.ScriptHelper")
mainThread = helper.ThreadId()
wrongThread = 0
control = WScript.Arguments(2)
binding = "so"
If WScript.Arguments.Count > 3 Then binding = WScript.Arguments(3)
tag = "E2E vbs " & binding & " "

Sub Log(text)
    WScript.Echo text
End Sub

Sub Fail(stepNumber, text)
    Log "FAIL " & stepNumber & ": " & text
    WScript.Quit stepNumber
End Sub

' The name a callback was called by, for the transcript.
Function Named(base)
    If binding = "co" Then Named = base & "Event" Else Named = "SO" & base
End Function

Sub CheckThread()
    If helper.ThreadId() <> mainThread Then wrongThread = wrongThread + 1
End Sub

Class Callbacks
    Public statusCount
    Public coverSeen
    Public completeCount
    Public errorText
    Public closedSeen
    Private Sub Class_Initialize()
        statusCount = 0
        coverSeen = False
        completeCount = 0
        errorText = ""
        closedSeen = False
    End Sub
    ' The service objects' names for the callbacks, then the control objects' events.
    Public Sub SOStatusUpdate(data)
        StatusUpdateEvent data
    End Sub
    Public Sub SOOutputComplete(id)
        OutputCompleteEvent id
    End Sub
    Public Sub SOError(rc, ext, locus, response)
        ErrorEvent rc, ext, locus, response
    End Sub
    Public Sub SODirectIO(number, data, text)
        DirectIOEvent number, data, text
    End Sub
    Public Sub StatusUpdateEvent(data)
        CheckThread
        statusCount = statusCount + 1
        If data = 11 Then coverSeen = True
        If data = 0 Then closedSeen = True
        Log Named("StatusUpdate") & "(" & data & ")"
        helper.Signal
    End Sub
    Public Sub OutputCompleteEvent(id)
        CheckThread
        completeCount = completeCount + 1
        Log Named("OutputComplete") & "(" & id & ")"
        helper.Signal
    End Sub
    Public Sub ErrorEvent(rc, ext, locus, response)
        CheckThread
        errorText = rc & "," & ext & "," & locus
        Log Named("Error") & "(" & rc & ", " & ext & ", " & locus & ", " & response & ")"
        shell.Run control & " cover close", 0, True
        response = 11  ' OPOS_ER_RETRY, written through the reference
        helper.Signal
    End Sub
    Public Sub DirectIOEvent(number, data, text)
        CheckThread
    End Sub
End Class

' Whether the named condition holds yet (a string per condition: no Eval needed).
Function Holds(condition)
    Select Case condition
        Case "complete1"
            Holds = cb.completeCount >= 1
        Case "cover"
            Holds = cb.coverSeen
        Case "error"
            Holds = cb.errorText <> ""
        Case "complete2"
            Holds = cb.completeCount >= 2
        Case "closed"
            Holds = dcb.closedSeen
    End Select
End Function

' Waits, pumping this thread's messages, until the condition holds or 10 s pass.
Sub WaitFor(stepNumber, what, condition)
    Dim i
    For i = 1 To 100
        If Holds(condition) Then Exit Sub
        helper.Wait 100
    Next
    If Not Holds(condition) Then Fail stepNumber, "no " & what
End Sub

' A device of either binding; methods of the same name on both are called directly.
Function OpenDevice(deviceClass, name, handlers, rc)
    Dim device
    If binding = "co" Then
        If deviceClass = "POSPrinter" Then
            Set device = CreateObject("OposPOSPrinter_1_8_LibCtl.OPOSPOSPrinter")
        Else
            Set device = CreateObject("OposCashDrawer_1_8_LibCtl.OPOSCashDrawer")
        End If
        Set device.EventSink = handlers
        device.DirectEvents = True
        rc = device.Open(name)
    Else
        If deviceClass = "POSPrinter" Then
            Set device = CreateObject("QMX.Thermal.POSPrinter")
        Else
            Set device = CreateObject("QMX.Thermal.CashDrawer")
        End If
        rc = device.OpenService(deviceClass, name, handlers)
    End If
    Set OpenDevice = device
End Function

Sub SetFlag(device, name, value)
    If binding = "co" Then
        Select Case name
            Case "DeviceEnabled"
                device.DeviceEnabled = value
            Case "AsyncMode"
                device.AsyncMode = value
        End Select
    Else
        Dim index
        If name = "DeviceEnabled" Then index = 3 Else index = 8001
        If value Then device.SetPropertyNumber index, 1 Else device.SetPropertyNumber index, 0
    End If
End Sub

Function Enabled(device)
    If binding = "co" Then
        Enabled = device.DeviceEnabled
    Else
        Enabled = device.GetPropertyNumber(3) = 1
    End If
End Function

Function CloseDevice(device)
    If binding = "co" Then CloseDevice = device.Close() Else CloseDevice = device.CloseService()
End Function

Dim printer, cb, dcb, rc
Set cb = New Callbacks
Set printer = OpenDevice("POSPrinter", WScript.Arguments(0), cb, rc)
Log "Open -> " & rc
If rc <> 0 Then Fail 1, "Open " & rc
rc = printer.ClaimDevice(5000)
If rc <> 0 Then Fail 2, "ClaimDevice " & rc
SetFlag printer, "DeviceEnabled", True
If Not Enabled(printer) Then Fail 3, "not enabled"
rc = printer.PrintNormal(2, tag & "sync receipt" & vbLf)
Log "PrintNormal(sync) -> " & rc
If rc <> 0 Then Fail 4, "PrintNormal sync " & rc
SetFlag printer, "AsyncMode", True
rc = printer.PrintNormal(2, tag & "async receipt" & vbLf)
If rc <> 0 Then Fail 5, "PrintNormal async " & rc
WaitFor 6, "SOOutputComplete", "complete1"
shell.Run control & " cover open", 0, True
WaitFor 7, "SOStatusUpdate(11)", "cover"
rc = printer.PrintNormal(2, tag & "retried receipt" & vbLf)
If rc <> 0 Then Fail 8, "PrintNormal async with the cover open " & rc
WaitFor 9, "SOError", "error"
If cb.errorText <> "114,201,1" Then Fail 9, "SOError " & cb.errorText
WaitFor 10, "SOOutputComplete after the retry", "complete2"
SetFlag printer, "AsyncMode", False
SetFlag printer, "DeviceEnabled", False
printer.ReleaseDevice
rc = CloseDevice(printer)
If rc <> 0 Then Fail 11, "Close " & rc

' The drawer: opened, then waited for until it is shut again.
Dim drawer
Set dcb = New Callbacks
Set drawer = OpenDevice("CashDrawer", WScript.Arguments(1), dcb, rc)
If rc <> 0 Then Fail 12, "drawer Open " & rc
rc = drawer.ClaimDevice(5000)
If rc <> 0 Then Fail 13, "drawer ClaimDevice " & rc
SetFlag drawer, "DeviceEnabled", True
rc = drawer.OpenDrawer()
If rc <> 0 Then Fail 14, "OpenDrawer " & rc
rc = drawer.WaitForDrawerClose(10000, 1000, 100, 500)
Log "WaitForDrawerClose -> " & rc
If rc <> 0 Then Fail 15, "WaitForDrawerClose " & rc
WaitFor 16, "drawer closed event", "closed"
SetFlag drawer, "DeviceEnabled", False
drawer.ReleaseDevice
rc = CloseDevice(drawer)
If rc <> 0 Then Fail 17, "drawer Close " & rc

If wrongThread <> 0 Then Fail 18, wrongThread & " callbacks on another thread"
Log "callbacks: " & cb.statusCount & " status, " & cb.completeCount & " complete, 1 error, " & _
    dcb.statusCount & " drawer; all on thread " & mainThread
WScript.Quit 0
