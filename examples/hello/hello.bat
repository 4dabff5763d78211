@echo off
rem Started by the self-extracting file once the folder is unpacked. What it says also goes
rem to %TEMP%\kesdra-hello.txt, since a console of its own may not be in sight.
set out=%TEMP%\kesdra-hello.txt
echo Hello from %CD%> "%out%"
echo Parameters: %*>> "%out%"
type readme.txt >> "%out%"
type "%out%"
exit /b 0
