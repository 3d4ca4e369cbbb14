@rem Runs EdccaProvision.exe from this folder and keeps its trace in
@rem %ProgramData%\EdccaProvision\log.txt (on Windows XP, which has no
@rem ProgramData, under All Users\Application Data).
@if not defined ProgramData set "ProgramData=%ALLUSERSPROFILE%\Application Data"
@if not exist "%ProgramData%\EdccaProvision" mkdir "%ProgramData%\EdccaProvision"
@"%~dp0EdccaProvision.exe" > "%ProgramData%\EdccaProvision\log.txt"
