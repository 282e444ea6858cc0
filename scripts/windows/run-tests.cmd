@echo off
rem Runs the Windows test kit: the unit tests, then each end-to-end scenario the driver lists,
rem each program's output in a file of its own in RESULTS-FOLDER, and summary.txt, then
rem done.txt. Works from any current folder and from a read-only kit folder. Exits 0 when
rem nothing failed.
setlocal EnableExtensions
if "%~1"=="" (echo usage: run-tests.cmd RESULTS-FOLDER& exit /b 2)
set "kit=%~dp0"
set "results=%~f1"
if not exist "%results%\" mkdir "%results%"
if not exist "%results%\" exit /b 2
for %%f in (done.txt summary.txt machine.txt unit-tests.txt unit-tests.xml e2e-*.txt) do del /q "%results%\%%f" 2>nul
set /a passed=0, failed=0, skipped=0

call :machine >"%results%\machine.txt" 2>&1

echo unit tests...
"%kit%unit_tests.exe" "--gtest_output=xml:%results%\unit-tests.xml" >"%results%\unit-tests.txt" 2>&1
call :record "unit tests" %errorlevel%

rem The driver lists its scenarios one a line.
"%kit%e2e-driver.exe" --list >"%results%\e2e-list.txt"
if errorlevel 1 (call :record e2e %errorlevel%) else (
  for /f "usebackq delims=" %%n in ("%results%\e2e-list.txt") do call :e2e %%n
)

>>"%results%\summary.txt" echo %passed% passed, %failed% failed, %skipped% skipped
type "%results%\summary.txt"
>"%results%\done.txt" echo done
if %failed% gtr 0 exit /b 1
exit /b 0

:e2e
echo e2e %1...
"%kit%e2e-driver.exe" %1 >"%results%\e2e-%1.txt" 2>&1
call :record "e2e %1" %errorlevel%
exit /b

rem What the tests ran on.
:machine
ver
echo user: %USERNAME%
whoami /groups | find "S-1-16-12288" >nul
if errorlevel 1 (echo elevated: no) else echo elevated: yes
echo ORVANTO_THROWAWAY_MACHINE=%ORVANTO_THROWAWAY_MACHINE%
for /f "usebackq" %%v in ("%kit%VERSION") do echo kit: %%v
exit /b

rem :record GROUP EXIT-CODE: 0 passed, 77 skipped, anything else failed
:record
set verdict=failed
if "%2"=="0" set verdict=passed
if "%2"=="77" set verdict=skipped
set /a %verdict%+=1
if %verdict%==failed set verdict=FAILED
>>"%results%\summary.txt" echo %~1: %verdict%
exit /b
