@echo off
rem Ruft die Anlage über das Modem an
mon4vam.exe /i=\vamtools\mon4vam\mon4vam.ini /dial
