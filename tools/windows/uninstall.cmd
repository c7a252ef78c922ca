@echo off
rem Removes what install.cmd set up for the current user: the Chrome, Edge and
rem Firefox registry keys of the host and the manifests in this folder.
setlocal EnableExtensions DisableDelayedExpansion

set "HOST_NAME=com.kelto.datasigned"

:parse
if "%~1"=="" goto parsed
if "%~1"=="/?" goto usage
if /i "%~1"=="-h" goto usage
if /i "%~1"=="--help" goto usage
if /i not "%~1"=="--name" goto bad_argument
if "%~2"=="" goto missing_value
set "HOST_NAME=%~2"
shift
shift
goto parse

:parsed
rem The name becomes part of registry paths: letting a "\" through would
rem delete some other key.
if not defined HOST_NAME goto bad_name
set "REST=#%HOST_NAME%"
for %%c in (a b c d e f g h i j k l m n o p q r s t u v w x y z 0 1 2 3 4 5 6 7 8 9 _ .) do call set "REST=%%REST:%%c=%%"
if not "%REST%"=="#" goto bad_name

set "HERE=%~dp0"
set "REMOVED=0"
set "KEY=HKCU\Software\Google\Chrome\NativeMessagingHosts\%HOST_NAME%"
call :unregister
if errorlevel 1 exit /b 1
set "KEY=HKCU\Software\Microsoft\Edge\NativeMessagingHosts\%HOST_NAME%"
call :unregister
if errorlevel 1 exit /b 1
set "KEY=HKCU\Software\Mozilla\NativeMessagingHosts\%HOST_NAME%"
call :unregister
if errorlevel 1 exit /b 1

set "OUT=%HERE%%HOST_NAME%.chrome.json"
call :remove_file
if errorlevel 1 exit /b 1
set "OUT=%HERE%%HOST_NAME%.firefox.json"
call :remove_file
if errorlevel 1 exit /b 1

if "%REMOVED%"=="0" echo Native-messaging host %HOST_NAME% was not installed for the current user.
if not "%REMOVED%"=="0" echo Removed native-messaging host %HOST_NAME% for the current user.
exit /b 0

rem A key that is not there is already what we want.
:unregister
reg query "%KEY%" >nul 2>&1
if errorlevel 1 exit /b 0
reg delete "%KEY%" /f >nul
if errorlevel 1 goto unregister_failed
set "REMOVED=1"
exit /b 0

:remove_file
if not exist "%OUT%" exit /b 0
del /f /q "%OUT%"
if exist "%OUT%" goto remove_failed
set "REMOVED=1"
exit /b 0

:usage
echo Usage: uninstall.cmd [--name HOST_NAME]
echo.
echo Removes the native-messaging host HOST_NAME (default %HOST_NAME%) of
echo the current user: the registry keys
echo   HKCU\Software\Google\Chrome\NativeMessagingHosts\HOST_NAME
echo   HKCU\Software\Microsoft\Edge\NativeMessagingHosts\HOST_NAME
echo   HKCU\Software\Mozilla\NativeMessagingHosts\HOST_NAME
echo and the manifests HOST_NAME.chrome.json and HOST_NAME.firefox.json that
echo install.cmd wrote next to this script. Use the name given to install.cmd.
exit /b 0

:bad_argument
echo uninstall.cmd: unknown argument "%~1"; "uninstall.cmd /?" lists the options 1>&2
exit /b 2
:missing_value
echo uninstall.cmd: %~1 needs a value 1>&2
exit /b 2
:bad_name
echo uninstall.cmd: "%HOST_NAME%" is not a host name: lowercase letters, digits, "_" and "." only 1>&2
exit /b 2
:unregister_failed
echo uninstall.cmd: cannot delete "%KEY%" 1>&2
exit /b 1
:remove_failed
echo uninstall.cmd: cannot delete "%OUT%" 1>&2
exit /b 1
