' The point-of-sale session of pos_session.js as a VBScript application runs it: the
' control object is an instance of a script class (reached by name through IDispatchEx),
' its arguments come by reference, and the error is answered retry by writing the
' response argument. Exits 0 when every step and callback was right, else the step.
'
' cscript //nologo pos_session.vbs PRINTER DRAWER CONTROL
Option Explicit

Dim shell, helper, mainThread, wrongThread, control
Set shell = CreateObject("WScript.Shell")
Set helper = CreateObject("ThermPOS.Test.ScriptHelper")
mainThread = helper.ThreadId()
wrongThread = 0
control = WScript.Arguments(2)

Sub Log(text)
    WScript.Echo text
End Sub

Sub Fail(stepNumber, text)
    Log "FAIL " & stepNumber & ": " & text
    WScript.Quit stepNumber
End Sub

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
    Public Sub SOStatusUpdate(data)
        CheckThread
        statusCount = statusCount + 1
        If data = 11 Then coverSeen = True
        If data = 0 Then closedSeen = True
        Log "SOStatusUpdate(" & data & ")"
        helper.Signal
    End Sub
    Public Sub SOOutputComplete(id)
        CheckThread
        completeCount = completeCount + 1
        Log "SOOutputComplete(" & id & ")"
        helper.Signal
    End Sub
    Public Sub SOError(rc, ext, locus, response)
        CheckThread
        errorText = rc & "," & ext & "," & locus
        Log "SOError(" & rc & ", " & ext & ", " & locus & ", " & response & ")"
        shell.Run control & " cover close", 0, True
        response = 11  ' OPOS_ER_RETRY, written through the reference
        helper.Signal
    End Sub
    Public Sub SODirectIO(number, data, text)
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

Dim printer, cb, dcb, rc
Set cb = New Callbacks
Set printer = CreateObject("QMX.Thermal.POSPrinter")
rc = printer.OpenService("POSPrinter", WScript.Arguments(0), cb)
Log "OpenService -> " & rc
If rc <> 0 Then Fail 1, "OpenService " & rc
rc = printer.ClaimDevice(5000)
If rc <> 0 Then Fail 2, "ClaimDevice " & rc
printer.SetPropertyNumber 3, 1
If printer.GetPropertyNumber(3) <> 1 Then Fail 3, "not enabled"
rc = printer.PrintNormal(2, "E2E vbs sync receipt" & vbLf)
Log "PrintNormal(sync) -> " & rc
If rc <> 0 Then Fail 4, "PrintNormal sync " & rc
printer.SetPropertyNumber 8001, 1
rc = printer.PrintNormal(2, "E2E vbs async receipt" & vbLf)
If rc <> 0 Then Fail 5, "PrintNormal async " & rc
WaitFor 6, "SOOutputComplete", "complete1"
shell.Run control & " cover open", 0, True
WaitFor 7, "SOStatusUpdate(11)", "cover"
rc = printer.PrintNormal(2, "E2E vbs retried receipt" & vbLf)
If rc <> 0 Then Fail 8, "PrintNormal async with the cover open " & rc
WaitFor 9, "SOError", "error"
If cb.errorText <> "114,201,1" Then Fail 9, "SOError " & cb.errorText
WaitFor 10, "SOOutputComplete after the retry", "complete2"
printer.SetPropertyNumber 8001, 0
printer.SetPropertyNumber 3, 0
printer.ReleaseDevice
rc = printer.CloseService()
If rc <> 0 Then Fail 11, "CloseService " & rc

' The drawer: opened, then waited for until it is shut again.
Dim drawer
Set dcb = New Callbacks
Set drawer = CreateObject("QMX.Thermal.CashDrawer")
rc = drawer.OpenService("CashDrawer", WScript.Arguments(1), dcb)
If rc <> 0 Then Fail 12, "drawer OpenService " & rc
rc = drawer.ClaimDevice(5000)
If rc <> 0 Then Fail 13, "drawer ClaimDevice " & rc
drawer.SetPropertyNumber 3, 1
rc = drawer.OpenDrawer()
If rc <> 0 Then Fail 14, "OpenDrawer " & rc
rc = drawer.WaitForDrawerClose(10000, 1000, 100, 500)
Log "WaitForDrawerClose -> " & rc
If rc <> 0 Then Fail 15, "WaitForDrawerClose " & rc
WaitFor 16, "drawer closed event", "closed"
drawer.SetPropertyNumber 3, 0
drawer.ReleaseDevice
rc = drawer.CloseService()
If rc <> 0 Then Fail 17, "drawer CloseService " & rc

If wrongThread <> 0 Then Fail 18, wrongThread & " callbacks on another thread"
Log "callbacks: " & cb.statusCount & " status, " & cb.completeCount & " complete, 1 error, " & _
    dcb.statusCount & " drawer; all on thread " & mainThread
WScript.Quit 0
