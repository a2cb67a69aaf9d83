@echo off
rem clean-moss.cmd: one unattended run of tavrel_moss_remover.exe, its record kept in a log
rem named after the machine, its exit code acted on. Keep this script on the share beside the
rem exe and start it from there (a start-up script, a log-on script or a scheduled task);
rem set LOGS below to your share's folder for the records.
rem
rem   clean-moss.cmd          the record goes to LOGS
rem   clean-moss.cmd /local   the record stays on this machine, in %SystemRoot%\Logs\TavrelMoss
rem                           (for a remote session that cannot reach the share)
rem
rem The script ends with the tool's exit code.
setlocal
rem The machines' accounts must be able to create and append files there.
set "LOGS=\\server\share\logs"
if /i not "%~1"=="/local" goto run
rem A folder only administrators and SYSTEM may write: where any user may create files, a log
rem made beforehand as a link to another file would get the record with this run's rights.
set "LOGS=%SystemRoot%\Logs\TavrelMoss"
if not exist "%LOGS%\" mkdir "%LOGS%"
rem Whoever made the folder, the Administrators own it now and its rights are again those it
rem inherits from %SystemRoot%\Logs. The folder alone: /T would follow links left inside it.
icacls "%LOGS%" /setowner *S-1-5-32-544 >nul 2>&1
icacls "%LOGS%" /reset >nul 2>&1
:run
"%~dp0tavrel_moss_remover.exe" /silent "/log=%LOGS%\%COMPUTERNAME%.log"
set RC=%ERRORLEVEL%
rem Exact codes: an exe that could not be started (9009) must not restart the machine.
if "%RC%"=="0" goto end
if "%RC%"=="3" goto restart
if "%RC%"=="2" goto links_left
rem The redirection comes first, so that a digit ending the text is not read as a handle.
>>"%LOGS%\attention.txt" echo %COMPUTERNAME%: the tool ended with exit code %RC%
goto end
:restart
rem The worm file was in use; its deletion waits for the next boot.
shutdown /r /t 600 /c "Restarting in 10 minutes to finish removing Tavrel_Moss"
goto end
:links_left
>>"%LOGS%\attention.txt" echo %COMPUTERNAME%: links left, run it as an administrator
:end
exit /b %RC%
