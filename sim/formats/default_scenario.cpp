// default_scenario.cpp - the machine edcca-sim runs on when given no scenario:
// a 64-bit Windows 10 workstation (reporting 6.2 build 9200 to a program
// whose manifest lists no supported OS) with three network adapters, one of
// them the USB adapter the tool serves, whose driver answers region code 1.
// Kept as the same JSON and .reg text a scenario file would hold.

#include "formats/scenario.h"

namespace sim {
namespace {

const char kDefaultJson[] = R"json({
  "description": "64-bit Windows 10 workstation, USB adapter plugged in, driver answers region code 1",
  "version": {"major": 6, "minor": 2, "build": 9200, "platformId": 2, "productType": 1},
  "registry": ["default.reg"],
  "drivers": [
    {
      "device": "{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}",
      "regionWord": "0x0100",
      "eeprom": {"0x38": "0x1C"}
    }
  ],
  "expect": {
    "stdout": [
      "--> DetectAdapter()\n",
      "--> GetAvailableAdapters()\n",
      "<-- GetAvailableAdapters() :  Available adapter number = 1\n",
      "<-- DetectAdapter()\n",
      " Offset 0x38 = 0x1c \n",
      " GetSupportCountryRegion Offset 0x38 = 0x1 , 0x39 = 0x0 \n"
    ],
    "end": "Written",
    "attempts": 1,
    "exitCode": 0,
    "registryChanges": [
      {
        "key": "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\0007",
        "value": "EDCCAEnable",
        "type": "REG_SZ",
        "text": "1"
      }
    ]
  }
}
)json";

const char kDefaultReg[] = R"reg(REGEDIT4

; Machine-wide environment: a 64-bit (x64) machine.
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager\Environment]
"ComSpec"=hex(2):25,53,79,73,74,65,6d,52,6f,6f,74,25,5c,73,79,73,74,65,6d,33,32,5c,63,6d,64,2e,65,78,65,00
"NUMBER_OF_PROCESSORS"="4"
"OS"="Windows_NT"
"PROCESSOR_ARCHITECTURE"="AMD64"
"PROCESSOR_IDENTIFIER"="Intel64 Family 6 Model 142 Stepping 10, GenuineIntel"
"PROCESSOR_LEVEL"="6"
"PROCESSOR_REVISION"="8e0a"

; Setup classes.
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{36FC9E60-C465-11CF-8056-444553540000}]
@="Universal Serial Bus controllers"
"Class"="USB"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E968-E325-11CE-BFC1-08002BE10318}]
@="Display adapters"
"Class"="Display"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}]
@="Network adapters"
"Class"="Net"

; Intel on-board Ethernet.
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}\0001]
"DriverDesc"="Intel(R) Ethernet Connection (2) I219-V"
"MatchingDeviceId"="pci\\ven_8086&dev_15b8"
"NetCfgInstanceId"="{9E1F4B7A-2C3D-4E5F-8A9B-0C1D2E3F4A5B}"
"ProviderName"="Intel"

; WAN Miniport (IP).
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}\0004]
"DriverDesc"="WAN Miniport (IP)"
"MatchingDeviceId"="ms_ndiswanip"
"NetCfgInstanceId"="{3C5D7E9F-1A2B-4C3D-9E8F-7A6B5C4D3E2F}"
"ProviderName"="Microsoft"

; The USB wireless adapter's driver key.
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}\0007]
"DriverDesc"="USB Wireless-N Network Adapter"
"MatchingDeviceId"="usb\\vid_13b1&pid_003b"
"NetCfgInstanceId"="{6A1C2F34-8B6E-4C0B-9D5A-3E7F21B4C9D0}"
"ProviderName"="Linksys"

; Device instances.
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\PCI\VEN_8086&DEV_15B8&SUBSYS_86721043&REV_00\3&11583659&0&FE]
"HardwareID"=hex(7):50,43,49,5c,56,45,4e,5f,38,30,38,36,26,44,45,56,5f,31,35,42,38,26,53,55,42,53,59,53,5f,\
  38,36,37,32,31,30,34,33,26,52,45,56,5f,30,30,00,50,43,49,5c,56,45,4e,5f,38,30,38,36,26,44,45,56,5f,31,35,\
  42,38,26,53,55,42,53,59,53,5f,38,36,37,32,31,30,34,33,00,00
"ClassGUID"="{4d36e972-e325-11ce-bfc1-08002be10318}"
"Class"="Net"
"Driver"="{4d36e972-e325-11ce-bfc1-08002be10318}\\0001"
"DeviceDesc"="Intel(R) Ethernet Connection (2) I219-V"
"FriendlyName"="Intel(R) Ethernet Connection (2) I219-V"
"Mfg"="Intel"
"LocationInformation"="PCI bus 0, device 31, function 6"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\SWD\MSRRAS\MS_NDISWANIP]
"HardwareID"=hex(7):6d,73,5f,6e,64,69,73,77,61,6e,69,70,00,00
"ClassGUID"="{4d36e972-e325-11ce-bfc1-08002be10318}"
"Class"="Net"
"Driver"="{4d36e972-e325-11ce-bfc1-08002be10318}\\0004"
"DeviceDesc"="WAN Miniport (IP)"
"Mfg"="Microsoft"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\ROOT_HUB30\4&2A5E5B1&0&0]
"HardwareID"=hex(7):55,53,42,5c,52,4f,4f,54,5f,48,55,42,33,30,00,00
"ClassGUID"="{36fc9e60-c465-11cf-8056-444553540000}"
"Class"="USB"
"DeviceDesc"="USB Root Hub (USB 3.0)"
"Mfg"="(Standard USB HUBs)"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_13B1&PID_003B\00E04C3B0001]
"HardwareID"=hex(7):55,53,42,5c,56,49,44,5f,31,33,42,31,26,50,49,44,5f,30,30,33,42,26,52,45,56,5f,30,30,30,\
  31,00,55,53,42,5c,56,49,44,5f,31,33,42,31,26,50,49,44,5f,30,30,33,42,00,00
"CompatibleIDs"=hex(7):55,53,42,5c,43,6c,61,73,73,5f,66,66,26,53,75,62,43,6c,61,73,73,5f,66,66,26,50,72,6f,\
  74,5f,66,66,00,55,53,42,5c,43,6c,61,73,73,5f,66,66,00,00
"ClassGUID"="{4d36e972-e325-11ce-bfc1-08002be10318}"
"Class"="Net"
"Driver"="{4d36e972-e325-11ce-bfc1-08002be10318}\\0007"
"DeviceDesc"="USB Wireless-N Network Adapter"
"FriendlyName"="USB Wireless-N Network Adapter"
"Mfg"="Linksys"
"LocationInformation"="Port_#0002.Hub_#0001"
"Service"="wusbn"
)reg";

} // namespace

const std::map<std::string, std::string> &DefaultScenarioFiles() {
    static const std::map<std::string, std::string> files = {
        {"default.json", kDefaultJson},
        {"default.reg", kDefaultReg},
    };
    return files;
}

} // namespace sim
