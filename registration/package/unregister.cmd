@echo off
rem Removes the registration of KDRCtrl.ocx that register.cmd wrote: on 64-bit
rem Windows of both builds, on 32-bit Windows of the x86 build.
rem
rem   unregister.cmd        for every user of the computer: run it from an
rem                         elevated prompt ("Run as administrator")
rem   unregister.cmd /user  for the current user only
setlocal
set "here=%~dp0"
set "how=/u"
set "scope=for every user"
if /i "%~1"=="/user" (
    set "how=/u /n /i:user"
    set "scope=for the current user"
) else if not "%~1"=="" (
    echo usage: unregister.cmd [/user]
    exit /b 2
)
rem A 32-bit prompt on 64-bit Windows sees the 64-bit System32 as Sysnative.
set "native=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "native=%SystemRoot%\Sysnative"
set "status=0"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
    call :unregister "%native%\regsvr32.exe" x64
    call :unregister "%SystemRoot%\SysWOW64\regsvr32.exe" x86
) else (
    call :unregister "%native%\regsvr32.exe" x86
)
if not "%status%"=="0" if /i "%how%"=="/u" (
    echo Unregistering for every user needs an elevated prompt.
)
exit /b %status%

:unregister
"%~1" /s %how% "%here%%~2\KDRCtrl.ocx"
if not "%errorlevel%"=="0" (
    echo %~2\KDRCtrl.ocx was not unregistered %scope%: regsvr32 ended with %errorlevel%.
    set "status=1"
    goto :eof
)
echo %~2\KDRCtrl.ocx unregistered %scope%.
goto :eof
