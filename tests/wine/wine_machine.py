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
INSTALLER_SOURCE = os.path.join(HERE, "driver", "net_class_installer.c")
DRIVER_SERVICE = "EdccaTestDriver"
DRIVER_FILE = "edcca_test.sys"
NET_CLASS_GUID = "{4D36E972-E325-11CE-BFC1-08002BE10318}"
CCS = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet"
SERVICE_KEY = CCS + "\\Services\\" + DRIVER_SERVICE
ENVIRONMENT_KEY = CCS + "\\Control\\Session Manager\\Environment"
ALWAYS = [[0, None]]
ANSWER_KINDS = {"word": 0, "eeprom": 1, "fail": 2}
# edcca-sim, the one reader of scenarios and .reg files (and the judge):
# EDCCA_SIM, or the sim preset's build; wine_runner's --sim sets it.
EDCCA_SIM = os.environ.get("EDCCA_SIM", os.path.join(HERE, "..", "..", "build", "sim", "sim", "edcca-sim"))
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
# A network-class device present throughout a timed run, whose listings by
# SetupAPI let the test driver follow the program's attempts. Its hardware ID
# matches nothing, so the program passes it over without a trace.
CLOCK_DEVICE = CCS + "\\Enum\\ROOT\\EDCCA_ATTEMPT_CLOCK\\0000"


class NotReproducible(Exception):
    """The simulated machine has something Wine cannot be made to show."""


def reg_string(text):
    """Quotes text as a .reg string ("..." with \\ and \" escaped)."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def reg_hex(type_number, data):
    """A hex value of a .reg file: hex: for REG_BINARY, hex(N): otherwise."""
    return ("hex:" if type_number == 3 else "hex(%x):" % type_number) + ",".join("%02x" % byte for byte in data)


def reg_u64(value):
    return reg_hex(3, struct.pack("<Q", value))


def reg_document(sections):
    """A REGEDIT4 file from (key, [value lines]) pairs; a key given as "-KEY"
    deletes that key and everything under it."""
    lines = ["REGEDIT4", ""]
    for key, values in sections:
        lines += ["[%s]" % key] + values + [""]
    return "\r\n".join(lines) + "\r\n"


def build(cache, compiler, source, output, flags):
    """Compiles a test file into the cache when it is missing or older than
    its source. Returns its path."""
    gcc = wine_prefix.require(compiler)
    os.makedirs(cache, exist_ok=True)  # a fresh build tree has none yet
    output = os.path.join(cache, output)
    if os.path.exists(output) and os.path.getmtime(output) >= os.path.getmtime(source):
        return output
    subprocess.run([gcc, "-O2", "-Wall", "-Wextra", "-Werror", "-shared", "-nostdlib", "-o", output + ".tmp", source]
                   + flags, check=True)
    os.replace(output + ".tmp", output)
    return output


def build_test_files(cache):
    """The test driver and the network class installer (both builds: the
    32-bit program's SetupAPI calls it too), built into the cache. Returns
    {path under C:\\windows: built file}."""
    gcc = wine_prefix.require("x86_64-w64-mingw32-gcc")
    include = subprocess.run([gcc, "-print-sysroot"], capture_output=True, text=True).stdout.strip()
    ddk_dirs = [d for d in ("/usr/share/mingw-w64/include/ddk", os.path.join(include, "include", "ddk"),
                            "/usr/x86_64-w64-mingw32/include/ddk") if os.path.isdir(d)]
    if not ddk_dirs:
        raise wine_prefix.Skip("MinGW-w64's DDK headers are not installed")
    return {
        "system32/drivers/" + DRIVER_FILE: build(cache, "x86_64-w64-mingw32-gcc", DRIVER_SOURCE, DRIVER_FILE, [
            "-I" + ddk_dirs[0], "-Wl,--subsystem,native", "-Wl,--entry,DriverEntry", "-lntoskrnl"]),
        "system32/netcfgx.dll": build(cache, "x86_64-w64-mingw32-gcc", INSTALLER_SOURCE, "netcfgx64.dll",
                                        ["-Wl,--entry,DllMain", "-lkernel32"]),
        "syswow64/netcfgx.dll": build(cache, "i686-w64-mingw32-gcc", INSTALLER_SOURCE, "netcfgx32.dll",
                                        ["-Wl,--entry,_DllMain@12", "-Wl,--kill-at", "-lkernel32"]),
    }


def base_registry():
    """What every prefix holds before a scenario: the test driver as a
    demand-start kernel service, and the Net class key (absent in a fresh
    prefix, without which SetupDiClassGuidsFromNameA("Net") finds no class)."""
    return reg_document([
        (SERVICE_KEY, ['"Type"=dword:00000001', '"Start"=dword:00000003', '"ErrorControl"=dword:00000001',
                       '"ImagePath"=' + reg_string("C:\\windows\\system32\\drivers\\" + DRIVER_FILE)]),
        (CCS + "\\Control\\Class\\" + NET_CLASS_GUID, ['"Class"="Net"']),
        # The class installer a real network class key names: ours, not Wine's stub.
        ("HKEY_CURRENT_USER\\Software\\Wine\\DllOverrides", ['"netcfgx"="native"']),
    ])


def answer_bytes(answer):
    """One answer of the test driver, in its binary layout. A failure travels
    as a FACILITY_WIN32 status (0xC007xxxx), which maps back to its error."""
    status = 0xC0070000 | (answer["error"] & 0xFFFF) if answer["kind"] == "fail" else 0
    return struct.pack("<QIIII", answer["at"], ANSWER_KINDS[answer["kind"]], answer["word"], status,
                       answer.get("answerBytes", 0xFFFFFFFF)) + b"".join(struct.pack("<II", *pair)
                                                                         for pair in answer["eeprom"])


def nt_path(key):
    """The kernel's name of a HKEY_LOCAL_MACHINE key."""
    return "\\Registry\\Machine\\" + key.split("\\", 1)[1]


def driver_registry(scenario):
    """The .reg text of the test driver's configuration: the scenario's
    adapters, its registry events (at "at" ms: create "key" with the
    "values", or delete "deleteKey") and, when timed, the attempt clock's
    device (given before the driver starts, which clears its mark at once)."""
    parameters = SERVICE_KEY + "\\Parameters"
    sections = [("-" + parameters, []), (parameters, [])]
    for index, driver in enumerate(scenario["drivers"]):
        key = "%s\\Adapters\\%d" % (parameters, index)
        values = ['"DeviceName"=' + reg_string(driver["device"])]
        if driver["loaded"] != ALWAYS:
            values.append('"Loaded"=' + reg_hex(3, b"".join(struct.pack("<QQ", a, 2**64 - 1 if b is None else b)
                                                            for a, b in driver["loaded"])))
        sections.append((key, values))
        sections += [("%s\\Answers\\%08X" % (key, int(oid, 0)),
                      ['"%d"=%s' % (n, reg_hex(3, answer_bytes(a))) for n, a in enumerate(answers)])
                     for oid, answers in driver["answers"].items()]
    for index, event in enumerate(scenario["events"]):
        key = "%s\\Events\\%d" % (parameters, index)
        at = '"AtMs"=' + reg_u64(event["at"])
        if "deleteKey" in event:
            sections.append((key, [at, '"Key"=' + reg_string(nt_path(event["deleteKey"])), '"Delete"=dword:00000001']))
        else:
            sections += [(key, [at, '"Key"=' + reg_string(nt_path(event["key"]))]), (key + "\\Values", event["values"])]
    if scenario["timed"]:
        clock_id = b"ROOT\\EDCCA_ATTEMPT_CLOCK\0\0"
        sections.append((CLOCK_DEVICE, ['"HardwareID"=' + reg_hex(7, clock_id),
                                        '"ClassGUID"=' + reg_string(NET_CLASS_GUID), '"DeviceDesc"="Attempt clock"']))
    return reg_document(sections)


def run_settings(exes, windows, timed):
    """The .reg text of one run: the Windows version Wine reports to the
    programs (Wine's per-program settings, by file name), and the driver's
    clock: counting the program's attempts when the scenario is timed, else
    from its first request. The attempt clock starts with the sentinel's mark
    cleared, after the listings Wine makes while it starts the driver, so
    that the first mark the driver sees is the program's."""
    sections = [("HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\" + os.path.basename(exe),
                 ['"Version"=' + reg_string(windows)]) for exe in exes]
    if timed:
        sections += [(CLOCK_DEVICE, ['"Class"=-']),
                     (SERVICE_KEY + "\\Parameters", ['"AttemptClock"=' + reg_string(nt_path(CLOCK_DEVICE))])]
    else:
        sections.append((SERVICE_KEY + "\\Parameters", ['"ClockOrigin"=' + reg_u64(0)]))
    return reg_document(sections)


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
    # The same values, else the closest: same major and minor, same major, same buckets.
    for number, same in enumerate((lambda v: v == wanted and not version["serverR2"], lambda v: v[:2] == wanted[:2],
                                   lambda v: v[0] == wanted[0],
                                   lambda v: version_bucket(v[0]) == version_bucket(wanted[0]))):
        for name, values in WINE_VERSIONS.items():
            if same(values):
                return name, number == 0
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


def translate_sim_scenario(path):
    """A scenario of the simulated host as this runner's scenario, from the
    machine edcca-sim read: its drivers, the Wine version, the registry after
    import, and presence as the driver's registry events. Raises
    NotReproducible for what Wine cannot show (injected faults, a failing
    GetVersionExA)."""
    machine = edcca_sim("--machine-json", path)
    if machine["faults"]:
        raise NotReproducible("host faults are injected by the simulated host only")
    windows, exact = wine_version_for(machine["version"])
    if machine["version"]["codePage"] not in [1252] + list(wine_prefix.LOCALES):
        raise NotReproducible("no locale of code page %d is known here" % machine["version"]["codePage"])
    sections = {"HKEY_LOCAL_MACHINE\\" + key["key"]: [value_line(v) for v in key["values"]]
                for key in machine["registry"]}
    upper = {key.upper(): key for key in sections}
    # The machine holds only what the scenario imports: no Net class key and,
    # unless the scenario gives them, no environment key or architecture.
    prelude = [("-" + CCS + "\\Control\\Class\\" + NET_CLASS_GUID, []),
               (ENVIRONMENT_KEY, ['"PROCESSOR_ARCHITECTURE"=-']) if ENVIRONMENT_KEY.upper() in upper else
               ("-" + ENVIRONMENT_KEY, [])]
    registry = [reg_document(prelude), reg_document(list(sections.items()))]
    events = []
    for device in machine["devices"]:
        key = CCS + "\\Enum\\" + device["instance"]
        if device["present"] == ALWAYS:
            continue
        if not any(start == 0 for start, _ in device["present"]):
            registry.append(reg_document([("-" + key, [])]))
        for start, until in device["present"]:
            if start > 0:
                events.append({"at": start, "key": key, "values": sections[upper[key.upper()]]})
            if until is not None:
                events.append({"at": until, "deleteKey": key})
    drivers = machine["drivers"]
    # Whether anything changes while the program runs.
    timed = bool(events) or any(start > 0 or until is not None for d in drivers for start, until in d["loaded"]) or \
        any(a["at"] > 0 for d in drivers for listed in d["answers"].values() for a in listed)
    return {"windows": windows, "exactVersion": exact, "codePage": machine["version"]["codePage"],
            "registryTexts": registry, "drivers": drivers,
            "events": events, "timed": timed}
