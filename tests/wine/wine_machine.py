"""wine_machine.py - a scenario's machine (docs/scenario-format.md) set up
under Wine: the Windows version Wine reports, the scenario's registry, the
test kernel driver (driver/edcca_test_driver.c) built and configured with the
scenario's drivers, presence turned into the driver's registry events, and
the driver's clock. The scenario is read by edcca-sim alone (--machine-json):
this runner takes the machine as edcca-sim resolved it.
"""

import json
import os
import struct
import subprocess

import wine_prefix

HERE = os.path.dirname(os.path.abspath(__file__))
DRIVER_SOURCE = os.path.join(HERE, "driver", "edcca_test_driver.c")
DRIVER_SERVICE = "EdccaTestDriver"
DRIVER_FILE = "edcca_test.sys"
NET_CLASS_GUID = "{4D36E972-E325-11CE-BFC1-08002BE10318}"
CCS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet"
SERVICE_KEY = CCS + "\\Services\\" + DRIVER_SERVICE
ENVIRONMENT_KEY = CCS + "\\Control\\Session Manager\\Environment"
# Wine's per-program settings, by the program file's name.
APP_DEFAULTS_KEY = "HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\"
ANSWER_KINDS = {"word": 0, "eeprom": 1, "fail": 2}
# edcca-sim, the one reader of scenarios and .reg files (and the judge):
# EDCCA_SIM, or the sim preset's build; wine_runner's --sim sets it.
EDCCA_SIM = os.environ.get("EDCCA_SIM", os.path.join(HERE, "..", "..", "build", "sim", "sim", "edcca-sim"))
# Win32 errors a scenario may make the driver fail with, and the NTSTATUS
# that Windows (and Wine) turn back into each; any other error travels as a
# FACILITY_WIN32 status (0xC007xxxx), which maps back to itself.
NTSTATUS_FOR_ERROR = {
    1: 0xC0000010,    # ERROR_INVALID_FUNCTION <- STATUS_INVALID_DEVICE_REQUEST
    5: 0xC0000022,    # ERROR_ACCESS_DENIED <- STATUS_ACCESS_DENIED
    8: 0xC0000017,    # ERROR_NOT_ENOUGH_MEMORY <- STATUS_NO_MEMORY
    31: 0xC0000001,   # ERROR_GEN_FAILURE <- STATUS_UNSUCCESSFUL
    50: 0xC00000BB,   # ERROR_NOT_SUPPORTED <- STATUS_NOT_SUPPORTED
    87: 0xC000000D,   # ERROR_INVALID_PARAMETER <- STATUS_INVALID_PARAMETER
    122: 0xC0000023,  # ERROR_INSUFFICIENT_BUFFER <- STATUS_BUFFER_TOO_SMALL
}
# What Wine 8 reports for each Windows version it offers (GetVersionExA:
# major, minor, build, platform, product type; SM_SERVERR2 is always 0).
# Note win7 and win2008r2: Wine 8 gives win7 the server product type and
# win2008r2 the workstation one.
WINE_VERSIONS = {
    "win95": (4, 0, 0x040003B6, 1, 0), "win98": (4, 10, 0x040A08AE, 1, 0), "winme": (4, 90, 0x045A0BB8, 1, 0),
    "nt40": (4, 0, 1381, 2, 1), "win2k": (5, 0, 2195, 2, 1), "winxp": (5, 1, 2600, 2, 1),
    "win2003": (5, 2, 3790, 2, 3), "vista": (6, 0, 6002, 2, 1), "win2008": (6, 0, 6002, 2, 3),
    "win7": (6, 1, 7601, 2, 3), "win2008r2": (6, 1, 7601, 2, 1), "win8": (6, 2, 9200, 2, 1),
    "win10": (6, 2, 9200, 2, 1),
}


class NotReproducible(Exception):
    """The simulated machine has something Wine cannot be made to show."""


# --------------------------------------------------------------------------
# .reg text


def reg_string(text):
    """Quotes text as a .reg string ("..." with \\ and \" escaped)."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_hex(type_number, data):
    """A hex value of a .reg file: hex: for REG_BINARY, hex(N): otherwise."""
    prefix = "hex:" if type_number == 3 else "hex(%x):" % type_number
    return prefix + ",".join("%02x" % byte for byte in data)


def reg_multi_sz_8bit(strings):
    """REG_MULTI_SZ for a REGEDIT4 file, whose hex(7) Wine reads as 8-bit text."""
    return reg_hex(7, b"".join(s.encode("latin-1") + b"\0" for s in strings) + b"\0")


def reg_document(sections):
    """A REGEDIT4 file from (key, [value lines]) pairs; a key given as "-KEY"
    deletes that key and everything under it."""
    lines = ["REGEDIT4", ""]
    for key, values in sections:
        lines.append("[%s]" % key)
        lines.extend(values)
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def parse_number(value):
    """An integer given as a number or as text ("0x38", "56")."""
    return value if isinstance(value, int) else int(value, 0)


# --------------------------------------------------------------------------
# The test driver


def build_driver(cache):
    """Compiles the test driver into the cache when it is missing or older
    than its source. Returns its path."""
    gcc = wine_prefix.require("x86_64-w64-mingw32-gcc")
    os.makedirs(cache, exist_ok=True)  # a fresh build tree has none yet
    output = os.path.join(cache, DRIVER_FILE)
    if os.path.exists(output) and os.path.getmtime(output) >= os.path.getmtime(DRIVER_SOURCE):
        return output
    include = subprocess.run([gcc, "-print-sysroot"], capture_output=True, text=True).stdout.strip()
    ddk_dirs = [d for d in ("/usr/share/mingw-w64/include/ddk", os.path.join(include, "include", "ddk"),
                            "/usr/x86_64-w64-mingw32/include/ddk") if os.path.isdir(d)]
    if not ddk_dirs:
        raise wine_prefix.Skip("MinGW-w64's DDK headers are not installed")
    subprocess.run([gcc, "-O2", "-Wall", "-Wextra", "-Werror", "-I" + ddk_dirs[0], "-shared", "-nostdlib",
                    "-Wl,--subsystem,native", "-Wl,--entry,DriverEntry", "-o", output + ".tmp", DRIVER_SOURCE,
                    "-lntoskrnl"], check=True)
    os.replace(output + ".tmp", output)
    return output


def base_registry():
    """What every prefix holds before a scenario: the test driver as a
    demand-start kernel service, and the Net class key (absent in a fresh
    prefix, without which SetupDiClassGuidsFromNameA("Net") finds no class)."""
    return reg_document([
        (SERVICE_KEY, ['"Type"=dword:00000001', '"Start"=dword:00000003', '"ErrorControl"=dword:00000001',
                       '"ImagePath"=' + reg_string("C:\\windows\\system32\\drivers\\" + DRIVER_FILE)]),
        (CCS + "\\Control\\Class\\" + NET_CLASS_GUID, ['"Class"="Net"']),
    ])


def answer_bytes(answer):
    """One answer of the test driver, in its binary layout."""
    kind = ANSWER_KINDS[answer["kind"]]
    status = 0
    if answer["kind"] == "fail":
        status = NTSTATUS_FOR_ERROR.get(answer["error"], 0xC0070000 | (answer["error"] & 0xFFFF))
    data = struct.pack("<QIIII", answer["atMs"], kind, answer["word"], status, answer.get("answerBytes", 0xFFFFFFFF))
    for offset, byte in answer["eeprom"]:
        data += struct.pack("<II", offset, byte)
    return data


def driver_sections(drivers):
    """The test driver's configuration keys for a scenario's drivers."""
    sections = [("-" + SERVICE_KEY + "\\Parameters", []), (SERVICE_KEY + "\\Parameters", [])]
    for index, driver in enumerate(drivers):
        key = "%s\\Parameters\\Adapters\\%d" % (SERVICE_KEY, index)
        values = ['"DeviceName"=' + reg_string(driver["deviceName"])]
        if "loaded" in driver:
            spans = b"".join(struct.pack("<QQ", parse_number(a), 2**64 - 1 if b is None else parse_number(b))
                             for a, b in driver["loaded"])
            values.append('"Loaded"=' + reg_hex(3, spans))
        sections.append((key, values))
        for oid, answers in driver.get("answers", {}).items():
            answer_values = ['"%d"=%s' % (n, reg_hex(3, answer_bytes(a))) for n, a in enumerate(answers)]
            sections.append(("%s\\Answers\\%08X" % (key, parse_number(oid)), answer_values))
    return sections


def nt_path(key):
    """The kernel's name of a HKEY_LOCAL_MACHINE key."""
    root = "HKEY_LOCAL_MACHINE\\"
    if not key.upper().startswith(root):
        raise wine_prefix.RunnerError("events change HKEY_LOCAL_MACHINE keys only: %s" % key)
    return "\\Registry\\Machine\\" + key[len(root):]


def event_sections(events):
    """The test driver's registry events: at atMs it creates "key" with the
    "values" (.reg value lines), or deletes "deleteKey"."""
    sections = []
    for index, event in enumerate(events):
        key = "%s\\Parameters\\Events\\%d" % (SERVICE_KEY, index)
        at = '"AtMs"=' + reg_hex(3, struct.pack("<Q", parse_number(event["atMs"])))
        if "deleteKey" in event:
            sections.append((key, [at, '"Key"=' + reg_string(nt_path(event["deleteKey"])), '"Delete"=dword:00000001']))
        else:
            sections.append((key, [at, '"Key"=' + reg_string(nt_path(event["key"]))]))
            sections.append((key + "\\Values", event.get("values", [])))
    return sections


# A network-class device present throughout a timed run, whose listings by
# SetupAPI let the test driver follow the program's attempts. Its hardware ID
# matches nothing, so the program passes it over without a trace.
CLOCK_DEVICE = CCS + "\\Enum\\ROOT\\EDCCA_ATTEMPT_CLOCK\\0000"


def clock_device_section():
    return (CLOCK_DEVICE, ['"HardwareID"=' + reg_multi_sz_8bit(["ROOT\\EDCCA_ATTEMPT_CLOCK"]),
                           '"ClassGUID"=' + reg_string(NET_CLASS_GUID), '"DeviceDesc"="Attempt clock"'])


def is_timed(scenario):
    """Whether anything in the scenario changes while the program runs (a
    driver loaded always or never changes nothing)."""
    answers = [a for d in scenario.get("drivers", []) for listed in d.get("answers", {}).values() for a in listed]
    spans = [span for d in scenario.get("drivers", []) for span in d.get("loaded", [])]
    return bool(scenario.get("events") or any(start > 0 or until is not None for start, until in spans) or
                any(parse_number(a.get("atMs", 0)) > 0 for a in answers))


def driver_registry(scenario):
    """The .reg text of the test driver's configuration for a translated
    scenario: its adapters, its registry events and, when timed, the attempt
    clock's device."""
    sections = driver_sections(scenario["drivers"]) + event_sections(scenario["events"])
    if scenario["timed"]:
        # Given before the driver starts, which clears their marks at once.
        sections.append(clock_device_section())
    return reg_document(sections)


def run_settings(exe, windows, timed):
    """The .reg text of one run: the Windows version Wine reports to the
    program (set for its file name), and the driver's clock: counting the
    program's attempts when the scenario is timed, else from its first
    request. The attempt clock starts with the sentinel's mark cleared, after
    the listings Wine makes while it starts the driver, so that the first
    mark the driver sees is the program's."""
    sections = [(APP_DEFAULTS_KEY + os.path.basename(exe), ['"Version"=' + reg_string(windows)])]
    if timed:
        sections += [(CLOCK_DEVICE, ['"Class"=-']),
                     (SERVICE_KEY + "\\Parameters", ['"AttemptClock"=' + reg_string(nt_path(CLOCK_DEVICE))])]
    else:
        sections.append((SERVICE_KEY + "\\Parameters", ['"ClockOrigin"=' + reg_hex(3, struct.pack("<Q", 0))]))
    return reg_document(sections)


# --------------------------------------------------------------------------
# A scenario of the simulated host, as Wine can show it


def version_bucket(major):
    """The major version's side of both thresholds of the version code:
    below 4 and 4 (older layout and identifiers), 5 (newer layout, older
    identifiers), 6 and later (newer both)."""
    return 0 if major <= 4 else 1 if major == 5 else 2


def wine_version_for(version):
    """The Wine version reporting the scenario's version, or else one in the
    same threshold buckets; and whether the match is exact."""
    wanted = (version["major"], version["minor"], version["build"], version["platformId"], version["productType"])
    if version["getVersionFails"]:
        raise NotReproducible("GetVersionExA cannot be made to fail under Wine")
    for name, values in WINE_VERSIONS.items():
        if values == wanted and not version["serverR2"]:
            return name, True
    # Else the closest: same major and minor, same major, same buckets.
    for same in (lambda v: v[:2] == wanted[:2], lambda v: v[0] == wanted[0],
                 lambda v: version_bucket(v[0]) == version_bucket(wanted[0])):
        for name, values in WINE_VERSIONS.items():
            if same(values):
                return name, False
    raise NotReproducible("no Wine version like %r" % (wanted,))


def edcca_sim(*arguments):
    """edcca-sim's JSON answer (--machine-json, --reg-json)."""
    if not os.path.exists(EDCCA_SIM):
        raise wine_prefix.Skip("edcca-sim %s is not built (build the sim preset first)" % EDCCA_SIM)
    result = subprocess.run([EDCCA_SIM] + list(arguments), capture_output=True)
    if result.returncode != 0:
        raise wine_prefix.RunnerError("edcca-sim %s: %s" % (" ".join(arguments), result.stderr.decode(errors="replace").strip()))
    return json.loads(result.stdout)


def value_line(value):
    """A value of edcca-sim's registry JSON as a REGEDIT4 line, which Wine's
    regedit stores as the simulated host holds it (8-bit text in hex(1),
    hex(2) and hex(7) is the machine's code page)."""
    name = "@" if value["name"] == "" else reg_string(value["name"])
    data = bytes.fromhex(value["data"])
    if value["type"] == 4 and len(data) == 4:
        return name + "=dword:%08x" % struct.unpack("<I", data)[0]
    if value["type"] == 1 and data.endswith(b"\0") and all(byte >= 0x20 for byte in data[:-1]):
        return name + "=" + reg_string(data[:-1].decode("latin-1"))
    return name + "=" + reg_hex(value["type"], data)


def key_sections(keys):
    """edcca-sim's registry JSON as REGEDIT4 sections: {path: value lines}."""
    return {"HKEY_LOCAL_MACHINE\\" + key["key"]: [value_line(v) for v in key["values"]] for key in keys}


def translate_sim_scenario(path):
    """A scenario of the simulated host as this runner's scenario, from the
    machine edcca-sim read: the Wine version, the registry after import,
    presence as the driver's registry events, and the drivers. Raises
    NotReproducible for what Wine cannot show (injected faults, a failing
    GetVersionExA)."""
    machine = edcca_sim("--machine-json", path)
    if machine["faults"]:
        raise NotReproducible("host faults are injected by the simulated host only")
    windows, exact = wine_version_for(machine["version"])
    sections = key_sections(machine["registry"])
    upper = {key.upper(): key for key in sections}
    environment_given = ENVIRONMENT_KEY.upper() in upper
    # The machine holds only what the scenario imports: no Net class key and,
    # unless the scenario gives them, no environment key or architecture.
    prelude = [("-" + CCS + "\\Control\\Class\\" + NET_CLASS_GUID, [])]
    prelude.append((ENVIRONMENT_KEY, ['"PROCESSOR_ARCHITECTURE"=-']) if environment_given else
                   ("-" + ENVIRONMENT_KEY, []))
    registry = [reg_document(prelude), reg_document(list(sections.items()))]
    events = []
    for device in machine["devices"]:
        key = CCS + "\\Enum\\" + device["instance"]
        spans = device["present"]
        if spans == [[0, None]]:
            continue
        if not any(start == 0 for start, _ in spans):
            registry.append(reg_document([("-" + key, [])]))
        values = sections[upper[key.upper()]]
        for start, until in spans:
            if start > 0:
                events.append({"atMs": start, "key": key, "values": values})
            if until is not None:
                events.append({"atMs": until, "deleteKey": key})
    drivers = []
    for driver in machine["drivers"]:
        converted = {"deviceName": driver["device"],
                     "answers": {oid: [dict(answer, atMs=answer["at"]) for answer in listed]
                                 for oid, listed in driver["answers"].items()}}
        if driver["loaded"] != [[0, None]]:
            converted["loaded"] = driver["loaded"]
        drivers.append(converted)
    return {"windows": windows, "exactVersion": exact, "registryTexts": registry, "drivers": drivers,
            "events": events, "timed": is_timed({"drivers": drivers, "events": events})}
