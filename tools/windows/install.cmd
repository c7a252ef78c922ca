@echo off
rem Registers keltoDataSigned.exe, in this folder, as a native-messaging host
rem of the current user for Chrome, Edge and Firefox. "install.cmd /?" tells how.
setlocal EnableExtensions DisableDelayedExpansion

set "HOST_NAME=com.kelto.datasigned"
set "DEFAULT_ORIGIN=chrome-extension://abcdefghijklmnopabcdefghijklmnop/"
set "DEFAULT_FIREFOX_ID=datasigned@kelto.example"
set "ORIGINS="
set "FIREFOX_IDS="
set "LOWER=a b c d e f g h i j k l m n o p q r s t u v w x y z"
set "DIGITS=0 1 2 3 4 5 6 7 8 9"

:parse
if "%~1"=="" goto parsed
if "%~1"=="/?" goto usage
if /i "%~1"=="-h" goto usage
if /i "%~1"=="--help" goto usage
if /i "%~1"=="--name" goto opt_name
if /i "%~1"=="--origin" goto opt_origin
if /i "%~1"=="--firefox-id" goto opt_firefox_id
echo install.cmd: unknown argument "%~1"; "install.cmd /?" lists the options 1>&2
exit /b 2

:opt_name
if "%~2"=="" goto missing_value
set "HOST_NAME=%~2"
shift
shift
goto parse

:opt_origin
if "%~2"=="" goto missing_value
set "VALUE=%~2"
rem Chrome and Edge accept nothing but chrome-extension://ID/ with a
rem 32-letter ID in a..p: refuse anything else here rather than in the browser.
if not "%VALUE:~0,19%"=="chrome-extension://" goto bad_origin
if not "%VALUE:~51%"=="/" goto bad_origin
set "VALUE=%VALUE:~19,32%"
set "CHARS=a b c d e f g h i j k l m n o p"
call :only_chars lowercase
if errorlevel 1 goto bad_origin
if defined ORIGINS set "ORIGINS=%ORIGINS%, "
set "ORIGINS=%ORIGINS%"%~2""
shift
shift
goto parse

:opt_firefox_id
if "%~2"=="" goto missing_value
set "VALUE=%~2"
rem Add-on IDs are name@domain or a {GUID}; these characters also need no
rem escaping in the JSON manifest.
set "CHARS=%LOWER% %DIGITS% @ . _ - { }"
call :only_chars
if errorlevel 1 goto bad_firefox_id
if defined FIREFOX_IDS set "FIREFOX_IDS=%FIREFOX_IDS%, "
set "FIREFOX_IDS=%FIREFOX_IDS%"%~2""
shift
shift
goto parse

:parsed
if not defined ORIGINS set "ORIGINS="%DEFAULT_ORIGIN%""
if not defined FIREFOX_IDS set "FIREFOX_IDS="%DEFAULT_FIREFOX_ID%""

rem The browsers refuse other host names: lowercase letters, digits, "_" and
rem ".", neither first nor last and never two dots in a row.
set "VALUE=%HOST_NAME%"
set "CHARS=%LOWER% %DIGITS% _ ."
call :only_chars lowercase
if errorlevel 1 goto bad_name
if "%HOST_NAME:~0,1%"=="." goto bad_name
if "%HOST_NAME:~-1%"=="." goto bad_name
if not "%HOST_NAME:..=%"=="%HOST_NAME%" goto bad_name

set "HERE=%~dp0"
set "EXE=%HERE%keltoDataSigned.exe"
set "TEMPLATE=%HERE%host-manifest.json.in"
set "CHROME_MANIFEST=%HERE%%HOST_NAME%.chrome.json"
set "FIREFOX_MANIFEST=%HERE%%HOST_NAME%.firefox.json"
if not exist "%EXE%" goto no_exe
if not exist "%TEMPLATE%" goto no_template

rem The template's placeholders @NAME@ take the value of V_NAME, quotes
rem included; JSON wants every backslash of the path doubled. "for" adds the
rem quotes: a set "X="%PATH%"" would leave the path unquoted for the parser,
rem and a folder named "a & b" would break it.
set "V_HOST_NAME="%HOST_NAME%""
set "JSON_EXE=%EXE:\=\\%"
for %%p in ("%JSON_EXE%") do set "V_EXE_PATH=%%p"

set "V_ALLOWED_KEY="allowed_origins""
set "V_ALLOWED=%ORIGINS%"
set "OUT=%CHROME_MANIFEST%"
call :write_manifest
if errorlevel 1 exit /b 1

set "V_ALLOWED_KEY="allowed_extensions""
set "V_ALLOWED=%FIREFOX_IDS%"
set "OUT=%FIREFOX_MANIFEST%"
call :write_manifest
if errorlevel 1 exit /b 1

set "KEY=HKCU\Software\Google\Chrome\NativeMessagingHosts\%HOST_NAME%"
set "OUT=%CHROME_MANIFEST%"
call :register
if errorlevel 1 exit /b 1
set "KEY=HKCU\Software\Microsoft\Edge\NativeMessagingHosts\%HOST_NAME%"
call :register
if errorlevel 1 exit /b 1
set "KEY=HKCU\Software\Mozilla\NativeMessagingHosts\%HOST_NAME%"
set "OUT=%FIREFOX_MANIFEST%"
call :register
if errorlevel 1 exit /b 1

echo Registered native-messaging host %HOST_NAME% for the current user.
echo   Chrome and Edge: %ORIGINS%
echo   Firefox: %FIREFOX_IDS%
exit /b 0

rem ---------------------------------------------------------------------------
rem Writes the template to OUT. Each line holds at most two placeholders, outside
rem quotes, so splitting at "@" gives text, name, text, name, text. Every line
rem is appended on its own: Wine's cmd does not send the output of a called
rem label into a redirected block, and does not expand a "!OUT!" target.
:write_manifest
type nul > "%OUT%" 2>nul
if not exist "%OUT%" goto write_failed
for /f "usebackq tokens=1-5 delims=@" %%a in ("%TEMPLATE%") do (
  set "T1=%%a"
  set "T2=%%b"
  set "T3=%%c"
  set "T4=%%d"
  set "T5=%%e"
  call :emit_line >> "%OUT%"
)
exit /b 0

rem Delayed expansion prints the values as they are: an "&" or ")" in the
rem folder's path stays text.
:emit_line
setlocal EnableDelayedExpansion
echo !T1!!V_%T2%!!T3!!V_%T4%!!T5!
endlocal
exit /b 0

:register
reg add "%KEY%" /ve /t REG_SZ /d "%OUT%" /f >nul
if errorlevel 1 goto register_failed
exit /b 0

rem Errorlevel 0 when VALUE holds only the characters of CHARS; with
rem "lowercase", an upper-case letter fails too (the replacements below ignore
rem case). The leading "#" keeps the variables defined when all is stripped.
:only_chars
setlocal
set "REST=#%VALUE%"
set "FOLDED=#%VALUE%"
for %%c in (%CHARS%) do call set "REST=%%REST:%%c=%%"
if not "%REST%"=="#" exit /b 1
if not "%~1"=="lowercase" exit /b 0
for %%c in (%CHARS%) do call set "FOLDED=%%FOLDED:%%c=%%c%%"
if not "%FOLDED%"=="#%VALUE%" exit /b 1
exit /b 0

rem ---------------------------------------------------------------------------
:usage
echo Usage: install.cmd [--name HOST_NAME] [--origin ORIGIN]... [--firefox-id ADDON_ID]...
echo.
echo Registers keltoDataSigned.exe, in this folder, as a native-messaging host
echo of the current user for Chrome, Edge and Firefox. Two manifests are written
echo next to this script, HOST_NAME.chrome.json and HOST_NAME.firefox.json, and
echo these registry keys get the full path of one of them as default value:
echo   HKCU\Software\Google\Chrome\NativeMessagingHosts\HOST_NAME  (chrome.json)
echo   HKCU\Software\Microsoft\Edge\NativeMessagingHosts\HOST_NAME (chrome.json)
echo   HKCU\Software\Mozilla\NativeMessagingHosts\HOST_NAME        (firefox.json)
echo.
echo   --name HOST_NAME   the name extensions connect to: lowercase letters,
echo                      digits, "_" and "." (default %HOST_NAME%)
echo   --origin ORIGIN    a Chrome or Edge extension allowed to start the host,
echo                      as chrome-extension://ID/ (repeat for several; default
echo                      %DEFAULT_ORIGIN%, a placeholder)
echo   --firefox-id ID    a Firefox add-on ID allowed to start the host (repeat
echo                      for several; default %DEFAULT_FIREFOX_ID%, a placeholder)
echo.
echo Put this folder where it is to stay first: the keys point into it.
echo uninstall.cmd removes the keys and the manifests again.
exit /b 0

:missing_value
echo install.cmd: %~1 needs a value 1>&2
exit /b 2
:bad_origin
echo install.cmd: "%~2" is not an extension origin chrome-extension://ID/ (ID: 32 letters a-p) 1>&2
exit /b 2
:bad_firefox_id
echo install.cmd: "%~2" is not a Firefox add-on ID (name@domain or {GUID}) 1>&2
exit /b 2
:bad_name
echo install.cmd: "%HOST_NAME%" is not a host name: lowercase letters, digits, "_" and "." only, no "." first, last or twice in a row 1>&2
exit /b 2
:no_exe
echo install.cmd: keltoDataSigned.exe is missing from "%HERE%" 1>&2
exit /b 1
:no_template
echo install.cmd: host-manifest.json.in is missing from "%HERE%" 1>&2
exit /b 1
:write_failed
echo install.cmd: cannot write "%OUT%" 1>&2
exit /b 1
:register_failed
echo install.cmd: cannot set "%KEY%" 1>&2
exit /b 1
