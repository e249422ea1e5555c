@echo off
rem Registers KDRCtrl.ocx from this folder: on 64-bit Windows both builds
rem (x64 for 64-bit hosts, x86 for 32-bit hosts such as VB6 and 32-bit
rem Office), on 32-bit Windows the x86 build.
rem
rem   register.cmd          for every user of the computer: run it from an
rem                         elevated prompt ("Run as administrator")
rem   register.cmd /user    for the current user only, no elevation needed
setlocal
set "here=%~dp0"
set "how="
set "scope=for every user"
if /i "%~1"=="/user" (
    set "how=/n /i:user"
    set "scope=for the current user"
) else if not "%~1"=="" (
    echo usage: register.cmd [/user]
    exit /b 2
)
rem A 32-bit prompt on 64-bit Windows sees the 64-bit System32 as Sysnative.
set "native=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "native=%SystemRoot%\Sysnative"
set "status=0"
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" (
    call :register "%native%\regsvr32.exe" x64
    call :register "%SystemRoot%\SysWOW64\regsvr32.exe" x86
) else (
    call :register "%native%\regsvr32.exe" x86
)
if not "%status%"=="0" if not defined how (
    echo Registering for every user needs an elevated prompt; register.cmd /user
    echo registers for the current user only.
)
exit /b %status%

:register
"%~1" /s %how% "%here%%~2\KDRCtrl.ocx"
if not "%errorlevel%"=="0" (
    echo %~2\KDRCtrl.ocx was not registered %scope%: regsvr32 ended with %errorlevel%.
    set "status=1"
    goto :eof
)
echo %~2\KDRCtrl.ocx registered %scope%.
goto :eof
