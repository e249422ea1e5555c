' The control from the system's script host, as a script writer uses it:
' CreateObject, properties, by-reference variables and automation errors.
' Prints one line a check and, last, the marker line the test runner looks for.
Option Explicit

Dim passed, failed
passed = 0
failed = 0

Sub Check(ok, name)
    If ok Then
        passed = passed + 1
        WScript.Echo "PASS " & name
    Else
        failed = failed + 1
        WScript.Echo "FAIL " & name
    End If
End Sub

Dim kdr
Set kdr = CreateObject("KDRCtrl.KDRController")
Check kdr.CommPort = 1, "CommPort is 1"
Check kdr.Opened = False, "Opened is False"
Check kdr.ShowMachineID = False, "ShowMachineID is False"
Check kdr.ShowRTC = False, "ShowRTC is False"
Check TypeName(kdr.CommPort) = "Integer", "CommPort is an Integer"

kdr.ShowRTC = True
Check kdr.ShowRTC = True, "ShowRTC = True reads True"
kdr.ShowMachineID = True
Check kdr.ShowMachineID = True And CInt(kdr.ShowMachineID) = -1, "ShowMachineID = True reads -1"

' By-reference variables are written back.
Dim pwd, sum
pwd = "abc"
sum = 12345
kdr.PwdSum pwd, sum
Check pwd = "abc     ", "PwdSum pads the password variable"
Check sum = 70, "PwdSum sets the CheckSum variable"
pwd = ""
kdr.PwdSum pwd, sum
Check pwd = "        " And sum = 256, "PwdSum on an empty password: eight spaces, 256"

Dim i, tempStr, timeStr, receiveStr
i = 1
tempStr = "08"
timeStr = "2007/11/16"
receiveStr = "rest"
kdr.SetDeaultHMStime i, tempStr, timeStr, receiveStr
Check timeStr = "2007/11/16 08" And receiveStr = "rest", "SetDeaultHMStime appends the hour"
i = 3
tempStr = "61"
receiveStr = "  tail  "
kdr.SetDeaultHMStime i, tempStr, timeStr, receiveStr
Check timeStr = "2000/01/01 00:00:00" And receiveStr = "tail", "second 61: default time stamp"

' Errors reach the script with a number and a description.
On Error Resume Next
Err.Clear
Dim ok
ok = kdr.OpenKDR(Null, 1)
Check Err.Number = 94 And Len(Err.Description) > 0, "OpenKDR(Null, 1): error 94 with a description"
Err.Clear
kdr.CommPort = "seven"
Check Err.Number <> 0 And Len(Err.Description) > 0, "CommPort = ""seven"": type mismatch"
Err.Clear
kdr.Opened = True
Check Err.Number <> 0 And kdr.Opened = False, "Opened cannot be assigned"
Err.Clear
On Error GoTo 0

kdr.CommPort = "5"
Check kdr.CommPort = 5, "CommPort = ""5"" by name"

' A port without a device: False, no message, CommPort takes the number.
Dim port
port = 9
Check kdr.OpenKDR("secret", port) = False, "OpenKDR on a missing COM9 returns False"
Check kdr.CommPort = 9 And port = 9, "CommPort is 9, the variable unchanged"
Check IsEmpty(kdr.CloseKDR()), "CloseKDR returns Empty"

WScript.Echo "vbscript: " & passed & " passed, " & failed & " failed"
If failed = 0 Then
    WScript.Echo "KDRCTRL-VBSCRIPT-DONE"
    WScript.Quit 0
End If
WScript.Quit 1
