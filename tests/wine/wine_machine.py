"""wine_machine.py - a scenario's machine (docs/scenario-format.md) set up
under Wine: the Windows version Wine reports, the scenario's .reg texts, the
test kernel driver (driver/edcca_test_driver.c) built and configured with the
scenario's drivers, presence turned into the driver's registry events, and
the driver's clock.
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


WIN32_ERRORS = {"ERROR_INVALID_FUNCTION": 1, "ERROR_FILE_NOT_FOUND": 2, "ERROR_ACCESS_DENIED": 5,
                "ERROR_INVALID_HANDLE": 6, "ERROR_NOT_ENOUGH_MEMORY": 8, "ERROR_INVALID_DATA": 13,
                "ERROR_GEN_FAILURE": 31, "ERROR_NOT_SUPPORTED": 50, "ERROR_INVALID_PARAMETER": 87,
                "ERROR_INSUFFICIENT_BUFFER": 122, "ERROR_MORE_DATA": 234, "ERROR_DEVICE_NOT_CONNECTED": 1167}


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
    if "fail" in answer:
        kind, error = ANSWER_KINDS["fail"], parse_number(answer["fail"])
        status = NTSTATUS_FOR_ERROR.get(error, 0xC0070000 | (error & 0xFFFF))
    elif "eeprom" in answer:
        kind, status = ANSWER_KINDS["eeprom"], 0
    else:
        kind, status = ANSWER_KINDS["word"], 0
    word = parse_number(answer.get("word", 0))
    answer_size = parse_number(answer.get("answerBytes", 0xFFFFFFFF))
    data = struct.pack("<QIIII", parse_number(answer.get("atMs", 0)), kind, word, status, answer_size)
    for offset, byte in sorted((parse_number(o), parse_number(b)) for o, b in answer.get("eeprom", {}).items()):
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
    wanted = (parse_number(version.get("major", 6)), parse_number(version.get("minor", 2)),
              parse_number(version.get("build", 9200)), parse_number(version.get("platformId", 2)),
              parse_number(version.get("productType", 1)))
    if version.get("getVersionFails"):
        raise NotReproducible("GetVersionExA cannot be made to fail under Wine")
    for name, values in WINE_VERSIONS.items():
        if values == wanted and not parse_number(version.get("serverR2", 0)):
            return name, True
    # Else the closest: same major and minor, same major, same buckets.
    for same in (lambda v: v[:2] == wanted[:2], lambda v: v[0] == wanted[0],
                 lambda v: version_bucket(v[0]) == version_bucket(wanted[0])):
        for name, values in WINE_VERSIONS.items():
            if same(values):
                return name, False
    raise NotReproducible("no Wine version like %r" % (wanted,))


def sim_registry_texts(scenario, base_dir):
    """The scenario's .reg texts, in import order."""
    texts = []
    for entry in scenario.get("registry", []):
        if isinstance(entry, str) or "file" in entry:
            name = entry if isinstance(entry, str) else entry["file"]
            with open(os.path.join(base_dir, name), "rb") as f:
                raw = f.read()
            texts.append(raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("latin-1"))
        else:
            texts.append(entry["text"] if isinstance(entry["text"], str) else "".join(entry["text"]))
    return texts


def reg_section(texts, key):
    """The value lines of one key in REGEDIT4 texts (the last file giving it)."""
    found = None
    for text in texts:
        if not text.startswith("REGEDIT4"):
            continue
        lines, current, pending = [], None, ""
        for raw in text.splitlines():
            raw = pending + raw.strip() if pending else raw
            pending = ""
            if raw.endswith("\\") and not raw.startswith("["):
                pending = raw[:-1]
                continue
            if raw.startswith("["):
                current = raw[1:raw.index("]")]
                if current.upper() == key.upper():
                    found = lines = []
                continue
            if current is not None and current.upper() == key.upper() and raw and not raw.startswith(";"):
                lines.append(raw)
    return found


def sim_timeline(value):
    """A sim timeline as [from, until] pairs (None: for ever)."""
    if value == "always":
        return [[0, None]]
    if value == "never":
        return []
    return [[parse_number(a), None if b is None else parse_number(b)] for a, b in value]


def sim_answers(driver):
    """The test driver's answers for a sim driver (shorthands expanded)."""
    answers = {}

    def convert(answer):
        out = {"atMs": parse_number(answer.get("at", 0))}
        for field in ("word", "eeprom", "answerBytes"):
            if field in answer:
                out[field] = answer[field]
        if "fail" in answer:
            error = answer["fail"]
            out["fail"] = WIN32_ERRORS[error] if isinstance(error, str) and error in WIN32_ERRORS else parse_number(error)
        return out

    for shorthand, oids in (("regionWord", ("0x0D710107", "0xFF0C0003")), ("eeprom", ("0x0D710105", "0xFF0C0008"))):
        if shorthand in driver:
            value = driver[shorthand]
            listed = value if isinstance(value, list) else [{"word": value} if shorthand == "regionWord" else {"eeprom": value}]
            for oid in oids:
                answers[oid] = [convert(a) for a in listed]
    for oid, listed in driver.get("answers", {}).items():
        answers[oid] = [convert(a) for a in listed]
    return answers


def translate_sim_scenario(path):
    """A scenario of the simulated host as this runner's scenario: the Wine
    version, its .reg texts imported as they are, presence as the driver's
    registry events, and its drivers. Raises NotReproducible for what Wine
    cannot show (injected faults, a failing GetVersionExA)."""
    with open(path) as f:
        sim = json.load(f)
    if sim.get("faults"):
        raise NotReproducible("host faults are injected by the simulated host only")
    windows, exact = wine_version_for(sim.get("version", {}))
    texts = sim_registry_texts(sim, os.path.dirname(os.path.abspath(path)))
    environment_given = any(("[" + ENVIRONMENT_KEY[len("HKEY_LOCAL_MACHINE\\System"):]).upper() in t.upper()
                            for t in texts)
    # The machine holds only what the scenario imports: no Net class key and,
    # unless the scenario gives them, no environment key or architecture.
    prelude = [("-" + CCS + "\\Control\\Class\\" + NET_CLASS_GUID, [])]
    prelude.append((ENVIRONMENT_KEY, ['"PROCESSOR_ARCHITECTURE"=-']) if environment_given else
                   ("-" + ENVIRONMENT_KEY, []))
    registry = [reg_document(prelude)] + texts
    events = []
    for instance, timeline in sim.get("presence", {}).items():
        key = CCS + "\\Enum\\" + instance
        spans = sim_timeline(timeline)
        if not any(start == 0 for start, _ in spans):
            registry.append(reg_document([("-" + key, [])]))
        values = reg_section(texts, "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" + instance)
        for start, until in spans:
            if start > 0:
                if values is None:
                    raise NotReproducible("presence of %s needs its key in a REGEDIT4 file" % instance)
                events.append({"atMs": start, "key": key, "values": values})
            if until is not None:
                events.append({"atMs": until, "deleteKey": key})
    drivers = [{"deviceName": d["device"], "answers": sim_answers(d)} for d in sim.get("drivers", [])]
    for converted, original in zip(drivers, sim.get("drivers", [])):
        if "loaded" in original and original["loaded"] != "always":
            converted["loaded"] = sim_timeline(original["loaded"])
    return {"windows": windows, "exactVersion": exact, "registryTexts": registry, "drivers": drivers,
            "events": events, "timed": is_timed({"drivers": drivers, "events": events})}
