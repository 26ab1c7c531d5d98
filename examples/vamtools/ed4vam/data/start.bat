@echo off
rem Startet ED4VAM mit der Werkzeug-INI
cd \vamtools\ed4vam
ed4vam.exe /i=\vamtools\ed4vam\ed4vam.ini
