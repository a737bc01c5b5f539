@echo off
rem Installs quarvexpeer.sys, the far side of Quarvex ports, as a kernel service that starts
rem with the system (so pairs work before anyone logs on), or removes it again.
rem Run as an administrator from the folder that holds quarvexpeer.sys:
rem     quarvexpeer.cmd install
rem     quarvexpeer.cmd remove
rem Each port's "Peer" value (none, loopback, pair:COMn, ...) is read when the port starts.
setlocal
set SERVICE=QuarvexPeer
set IMAGE=quarvexpeer.sys
set TARGET=%SystemRoot%\System32\drivers\%IMAGE%

if /i "%~1"=="install" goto install
if /i "%~1"=="remove" goto remove
echo usage: %~nx0 install ^| remove
exit /b 2

:install
if not exist "%~dp0%IMAGE%" (
    echo quarvexpeer: %IMAGE% is not beside this script
    exit /b 1
)
copy /y "%~dp0%IMAGE%" "%TARGET%" >nul
if errorlevel 1 (
    echo quarvexpeer: cannot copy %IMAGE% to %TARGET% ^(run as an administrator^)
    exit /b 1
)
sc create %SERVICE% type= kernel start= system error= normal binPath= System32\drivers\%IMAGE% DisplayName= "Quarvex peer"
if errorlevel 1 (
    echo quarvexpeer: the service could not be created ^(already installed? run remove first^)
    exit /b 1
)
sc start %SERVICE%
if errorlevel 1 (
    echo quarvexpeer: installed, but it did not start; it starts with the next boot
    exit /b 1
)
echo quarvexpeer: installed and running
exit /b 0

:remove
rem Stopping fails when it is not running; that is fine here.
sc stop %SERVICE% >nul
sc delete %SERVICE%
if errorlevel 1 (
    echo quarvexpeer: the service could not be deleted ^(not installed?^)
    exit /b 1
)
del "%TARGET%"
echo quarvexpeer: removed
exit /b 0
