#!/usr/bin/env python3
"""Writes a collection folder as EdccaKit 2.0.0's collector writes one, with
N network-class devices: the adapter (driver answering region 1, so the run
writes at its first attempt) and N - 1 other devices, every other one absent.
For timing edcca-sim --replay on large machines.
Usage: make-collection.py N FOLDER"""

import os
import sys

NET = "{4d36e972-e325-11ce-bfc1-08002be10318}"
NET_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
ENUM_KEY = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum"
ADAPTER = "USB\\VID_13B1&PID_003B\\00E04C3B0001"
OTHER = "PCI\\VEN_8086&DEV_100E"
IDENTIFIER = "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}"
TRACE = [
    "--> DetectAdapter()",
    "--> GetAvailableAdapters()",
    "<-- GetAvailableAdapters() :  Available adapter number = 1",
    "<-- DetectAdapter()",
    " Offset 0x38 = 0x1c ",
    " GetSupportCountryRegion Offset 0x38 = 0x1 , 0x39 = 0x0 ",
]
FACTS = [
    "Collector=EdccaKit 2.0.0", "MajorVersion=6", "MinorVersion=2", "BuildNumber=9200", "PlatformId=2",
    "CSDVersion=", "ProductType=1", "ServerR2=0", "ProcessorArchitecture=AMD64", "CodePage=1252",
    "Presence=SetupDi",
]


def write(folder, name, lines):
    """Takes a folder, a file name and lines. Writes them with CR LF ends."""
    with open(os.path.join(folder, name), "w", encoding="ascii", newline="") as out:
        out.write("".join(line + "\r\n" for line in lines))


def main():
    """Takes N and FOLDER from the command line. Writes the collection."""
    count, folder = int(sys.argv[1]), sys.argv[2]
    os.makedirs(folder, exist_ok=True)
    write(folder, "trace.txt", TRACE)
    write(folder, "collection.txt", ["EdccaKit 2.0.0, 2026-12-08T20:30:36Z, PC-1: NoDecision, exit code 0"])
    facts = FACTS + [f"Device=present {ADAPTER} USB\\VID_13B1&PID_003B&REV_0001 {NET}\\0007"]
    enum = ["REGEDIT4", "", f"[{ENUM_KEY}\\{ADAPTER}]",
            '"HardwareID"=hex(7):55,53,42,5c,56,49,44,5f,31,33,42,31,26,50,49,44,5f,30,30,33,42,00,00',
            f'"ClassGUID"="{NET}"', f'"Driver"="{NET}\\\\0007"', ""]
    for index in range(1, count):
        facts.append(f"Device={'present' if index % 2 else 'absent'} {OTHER}\\{index} {OTHER}%20 ")
        enum += [f"[{ENUM_KEY}\\{OTHER}\\{index}]", f'"ClassGUID"="{NET}"', ""]
    facts.append(f"DriverKey={NET}\\0007 writable 0 O:SYG:SYD:(A;CI;KA;;;BA)")
    write(folder, "facts.txt", facts)
    write(folder, "enum.reg", enum)
    write(folder, "class.reg", ["REGEDIT4", "", f"[{NET_KEY}]", '"Class"="Net"', "", f"[{NET_KEY}\\0007]",
                                f'"NetCfgInstanceId"="{IDENTIFIER}"', ""])
    write(folder, "environment.reg", ["REGEDIT4", "",
                                      "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Session Manager"
                                      "\\Environment]", '"PROCESSOR_ARCHITECTURE"="AMD64"', ""])


if __name__ == "__main__":
    main()
