@echo off
rem Drop a game file on this file: beside it appear the two reports, the web
rem page (.html) and the data file (.json).
"%~dp0table5.exe" --html --json %*
pause
