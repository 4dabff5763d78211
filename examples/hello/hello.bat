@echo off
rem Started by the self-extracting file once the folder is unpacked.
echo Hello from %CD%
echo Parameters: %*
type readme.txt
exit /b 0
