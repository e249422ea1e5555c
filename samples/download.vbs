' Downloads every record of a KDR reader and prints them.
'
'   cscript //nologo download.vbs [port [password]]
'
' The port number defaults to 1 (COM1), the password to none. The control
' shows its own message when the reader cannot be reached.
Option Explicit

Dim port, password
port = 1
password = ""
If WScript.Arguments.Count >= 1 Then port = CInt(WScript.Arguments(0))
If WScript.Arguments.Count >= 2 Then password = WScript.Arguments(1)

Dim kdr
Set kdr = CreateObject("KDRCtrl.KDRController")
kdr.ShowMachineID = True
kdr.ShowRTC = True

If Not kdr.OpenKDR(password, port) Then
    WScript.Echo "The reader on COM" & port & " did not accept the connection."
    WScript.Echo "KDRCTRL-DOWNLOAD-FAILED"
    WScript.Quit 1
End If

Dim records
records = kdr.DownloadData()
kdr.CloseKDR
WScript.Echo records
WScript.Echo "KDRCTRL-DOWNLOAD-DONE " & Len(records)
WScript.Quit 0
