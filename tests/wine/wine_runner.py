#!/usr/bin/env python3
"""wine_runner.py - runs EdccaProvision.exe under Wine on a described machine.

A scenario (JSON, see tests/wine/README.md) describes the machine: network
devices in the registry, the test driver's adapters and their answers, the
Windows version(s) and the processor architecture. For each Windows version
the runner gives the program a fresh copy of a cached Wine prefix with the
test driver loaded, runs it with standard output redirected to a file, and
reports what it did:

    {"windows": ..., "exitCode": 0, "stdout": raw text (CR LF as written),
     "trace": the same with CR LF read as LF, "registryChanges": [...],
     "driverRequests": [...], "durationMs": ...}

`check` compares reports with the scenario's expectations and exits 1 on any
difference; `run` only prints the reports (for comparison with the simulated
host's). Exit code 77 means Wine or a compiler is missing (a skipped test).

Only the Python standard library is used.
"""

import argparse
import contextlib
import fcntl
import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time

SKIP = 77
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
# Where the program may leave a mark: both registry layouts of the network
# adapters (the driver keys live in the first).
WATCHED_TREES = [CCS + "\\Control\\Class", CCS + "\\Services\\Class"]
WINDOWS_VERSIONS = ["win95", "win98", "winme", "nt40", "win2k", "winxp", "win2003", "vista", "win2008", "win7",
                    "win2008r2", "win8", "win10"]
ANSWER_KINDS = {"word": 0, "eeprom": 1, "fail": 2}
LOG_RECORD = struct.Struct("<12I")
LOG_FIELDS = ["sequence", "ms", "major", "code", "oid", "inSize", "outSize", "prefilled0", "prefilled1", "prefilled2", "status",
              "bytesReturned"]
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


class Skip(Exception):
    """A tool the runner needs is not installed."""


class RunnerError(Exception):
    """Wine or the prefix did not behave as the runner needs."""


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


def parse_reg_export(text):
    """Reads regedit /E output into {key: {value name: (type, bytes)}}; the
    default value is named ""."""
    keys = {}
    current = None
    logical = []
    pending = ""
    for raw in text.splitlines():
        if pending:
            raw = pending + raw.strip()
            pending = ""
        if raw.endswith("\\") and not raw.startswith("["):
            pending = raw[:-1]
            continue
        logical.append(raw)
    for line in logical:
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
            keys.setdefault(current, {})
            continue
        if current is None or not line or line.startswith(";"):
            continue
        name, rest = split_value_line(line)
        keys[current][name] = decode_value(rest)
    return keys


def split_value_line(line):
    """Splits '"name"=data' or '@=data' into (name, data)."""
    if line.startswith("@="):
        return "", line[2:]
    if not line.startswith('"'):
        raise RunnerError("unreadable export line: %r" % line)
    name = []
    at = 1
    while at < len(line):
        c = line[at]
        if c == "\\" and at + 1 < len(line):
            name.append(line[at + 1])
            at += 2
            continue
        if c == '"':
            break
        name.append(c)
        at += 1
    if line[at + 1:at + 2] != "=":
        raise RunnerError("unreadable export line: %r" % line)
    return "".join(name), line[at + 2:]


def decode_value(data):
    """(registry type, data bytes) of one exported value's data text."""
    if data.startswith('"'):
        text = data[1:-1].replace('\\"', '"').replace("\\\\", "\\")
        return 1, text.encode("utf-16-le") + b"\0\0"
    if data.startswith("dword:"):
        return 4, struct.pack("<I", int(data[6:], 16))
    if data.startswith("hex:"):
        return 3, hex_bytes(data[4:])
    if data.startswith("hex("):
        close = data.index(")")
        return int(data[4:close], 16), hex_bytes(data[close + 2:])
    raise RunnerError("unreadable export data: %r" % data)


def hex_bytes(text):
    text = text.replace(" ", "")
    return bytes(int(part, 16) for part in text.split(",") if part)


TYPE_NAMES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD", 7: "REG_MULTI_SZ",
              11: "REG_QWORD"}


def describe_value(value):
    """A value as the reports give it: type name and readable data."""
    if value is None:
        return None
    type_number, data = value
    entry = {"type": TYPE_NAMES.get(type_number, "type %d" % type_number)}
    if type_number in (1, 2):
        entry["data"] = data.decode("utf-16-le").split("\0")[0]
    elif type_number == 7:
        entry["data"] = [s for s in data.decode("utf-16-le").split("\0") if s]
    elif type_number == 4 and len(data) == 4:
        entry["data"] = struct.unpack("<I", data)[0]
    else:
        entry["data"] = data.hex()
    return entry


def registry_changes(before, after):
    """Every key added or removed and every value added, removed or changed,
    as a sorted list of {"key", "name", "before", "after"} (name null for a key)."""
    changes = []
    for key in sorted(set(before) | set(after), key=str.upper):
        if key not in before or key not in after:
            changes.append({"key": key, "name": None, "before": "present" if key in before else None,
                            "after": "present" if key in after else None})
        old = before.get(key, {})
        new = after.get(key, {})
        for name in sorted(set(old) | set(new), key=str.upper):
            if old.get(name) != new.get(name):
                changes.append({"key": key, "name": name, "before": describe_value(old.get(name)),
                                "after": describe_value(new.get(name))})
    return changes


# --------------------------------------------------------------------------
# Wine and the prefix


def require(program):
    path = shutil.which(program)
    if path is None:
        raise Skip("%s is not installed" % program)
    return path


def wine_environment(prefix):
    env = dict(os.environ)
    env.update({"WINEPREFIX": prefix, "WINEARCH": "win64", "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "winemenubuilder.exe=d"})
    env.pop("DISPLAY", None)  # no window is ever wanted; Wine falls back to its null driver
    return env


def wine(prefix, *args, stdout=subprocess.DEVNULL, timeout=120, check=True):
    """Runs `wine args...` in prefix. Returns the exit code."""
    result = subprocess.run(["wine"] + list(args), env=wine_environment(prefix), stdout=stdout,
                            stderr=subprocess.DEVNULL, timeout=timeout)
    if check and result.returncode != 0:
        raise RunnerError("wine %s exited with %d" % (" ".join(args), result.returncode))
    return result.returncode


def stop_session(prefix):
    """Ends the prefix's wineserver and every Wine process of it, and waits."""
    env = wine_environment(prefix)
    subprocess.run(["wineserver", "-k"], env=env, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-w"], env=env, stderr=subprocess.DEVNULL, timeout=60)


def import_reg(prefix, text, work_dir, name):
    """Imports a .reg text with regedit /S."""
    path = os.path.join(work_dir, name)
    with open(path, "wb") as f:
        f.write(text.encode("latin-1") if text.startswith("REGEDIT4") else b"\xff\xfe" + text.encode("utf-16-le"))
    wine(prefix, "regedit", "/S", to_windows_path(path))


def export_tree(prefix, key, work_dir):
    """The keys and values under one key, read back with regedit /E."""
    path = os.path.join(work_dir, "export.reg")
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)
    if wine(prefix, "regedit", "/E", to_windows_path(path), key, check=False) != 0 or not os.path.exists(path):
        return {}  # no such key
    with open(path, "rb") as f:
        raw = f.read()
    text = raw.decode("utf-16") if raw[:2] in (b"\xff\xfe", b"\xfe\xff") else raw.decode("latin-1")
    return parse_reg_export(text)


def to_windows_path(path):
    """A Unix path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def build_driver(cache):
    """Compiles the test driver into the cache when it is missing or older
    than its source. Returns its path."""
    gcc = require("x86_64-w64-mingw32-gcc")
    output = os.path.join(cache, DRIVER_FILE)
    if os.path.exists(output) and os.path.getmtime(output) >= os.path.getmtime(DRIVER_SOURCE):
        return output
    include = subprocess.run([gcc, "-print-sysroot"], capture_output=True, text=True).stdout.strip()
    ddk_dirs = [d for d in ("/usr/share/mingw-w64/include/ddk", os.path.join(include, "include", "ddk"),
                            "/usr/x86_64-w64-mingw32/include/ddk") if os.path.isdir(d)]
    if not ddk_dirs:
        raise Skip("MinGW-w64's DDK headers are not installed")
    subprocess.run([gcc, "-O2", "-Wall", "-Wextra", "-Werror", "-I" + ddk_dirs[0], "-shared", "-nostdlib",
                    "-Wl,--subsystem,native", "-Wl,--entry,DriverEntry", "-o", output + ".tmp", DRIVER_SOURCE,
                    "-lntoskrnl"], check=True)
    os.replace(output + ".tmp", output)
    return output


def template_stamp(driver):
    """What a template was made from: Wine's version and the driver's bytes."""
    version = subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()
    with open(driver, "rb") as f:
        return version + " " + hashlib.sha256(f.read()).hexdigest()


def base_registry():
    """What every prefix holds before a scenario: the test driver as a
    demand-start kernel service, and the Net class key (absent in a fresh
    prefix, without which SetupDiClassGuidsFromNameA("Net") finds no class)."""
    return reg_document([
        (SERVICE_KEY, ['"Type"=dword:00000001', '"Start"=dword:00000003', '"ErrorControl"=dword:00000001',
                       '"ImagePath"=' + reg_string("C:\\windows\\system32\\drivers\\" + DRIVER_FILE)]),
        (CCS + "\\Control\\Class\\" + NET_CLASS_GUID, ['"Class"="Net"']),
    ])


def ensure_template(cache):
    """Makes (once) the cached prefix every run starts from. Returns its path."""
    require("wine")
    require("wineserver")
    os.makedirs(cache, exist_ok=True)
    driver = build_driver(cache)
    template = os.path.join(cache, "template")
    stamp_path = os.path.join(cache, "template.stamp")
    with open(os.path.join(cache, "template.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = template_stamp(driver)
        if os.path.exists(stamp_path) and open(stamp_path).read() == stamp and os.path.isdir(template):
            return template
        shutil.rmtree(template, ignore_errors=True)
        with contextlib.suppress(FileNotFoundError):
            os.remove(stamp_path)
        started = time.monotonic()
        subprocess.run(["wineboot", "-i"], env=wine_environment(template), stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=True)
        shutil.copy(driver, os.path.join(template, "drive_c", "windows", "system32", "drivers", DRIVER_FILE))
        import_reg(template, base_registry(), cache, "base.reg")
        stop_session(template)
        with open(stamp_path, "w") as f:
            f.write(stamp)
        print("made Wine template in %.1f s" % (time.monotonic() - started), file=sys.stderr)
        return template


def clone_prefix(template, target):
    """A private prefix from the template: files hard-linked (Wine replaces
    the registry files rather than writing into them, and the runs write no
    other file), the registry files copied, and no 'wineserver' id file, so
    that the copy gets a server of its own instead of sharing the template's."""
    shutil.rmtree(target, ignore_errors=True)
    subprocess.run(["cp", "-al", template, target], check=True)
    for name in ("system.reg", "user.reg", "userdef.reg"):
        path = os.path.join(target, name)
        os.remove(path)
        shutil.copy2(os.path.join(template, name), path)
    with contextlib.suppress(FileNotFoundError):
        os.remove(os.path.join(target, "wineserver"))


# --------------------------------------------------------------------------
# Scenarios


def parse_number(value):
    """An integer given as a number or as text ("0x38", "56")."""
    return value if isinstance(value, int) else int(value, 0)


def device_sections(device):
    """The registry keys that make one network-class device of a scenario:
    its Enum key, its driver (class instance) key and the older layout's
    key."""
    instance_key = device.get("instanceKey", "0000")
    driver = device.get("driver", NET_CLASS_GUID + "\\" + instance_key)
    enum_values = ['"HardwareID"=' + reg_multi_sz_8bit(device["hardwareId"]),
                   '"ClassGUID"=' + reg_string(device.get("classGuid", NET_CLASS_GUID)),
                   '"Driver"=' + reg_string(driver)]
    for field, value_name in (("deviceDesc", "DeviceDesc"), ("friendlyName", "FriendlyName"), ("mfg", "Mfg"),
                              ("locationInformation", "LocationInformation")):
        if field in device:
            enum_values.append('"%s"=%s' % (value_name, reg_string(device[field])))
    sections = [(CCS + "\\Enum\\" + device["instance"], enum_values)]
    class_values = []
    if "netCfgInstanceId" in device:
        class_values.append('"NetCfgInstanceId"=' + reg_string(device["netCfgInstanceId"]))
    if device.get("driverKey", True):
        sections.append((CCS + "\\Control\\Class\\" + driver, class_values))
    if "deviceVxDs" in device:
        sections.append((CCS + "\\Services\\Class\\Net\\" + instance_key,
                         ['"DeviceVxDs"=' + reg_string(device["deviceVxDs"])]))
    return sections


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
        raise RunnerError("events change HKEY_LOCAL_MACHINE keys only: %s" % key)
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


def scenario_registry(scenario):
    """The .reg text that sets up a scenario's machine on top of the template."""
    sections = []
    if scenario.get("netClass", True) is False:
        sections.append(("-" + CCS + "\\Control\\Class\\" + NET_CLASS_GUID, []))
    for device in scenario.get("devices", []):
        sections.extend(device_sections(device))
    sections.extend(driver_sections(scenario.get("drivers", [])))
    sections.extend(event_sections(scenario.get("events", [])))
    if is_timed(scenario):
        sections.append(clock_device_section())
    text = reg_document(sections)
    extra = scenario.get("registry", [])
    if extra:
        text += "\r\n".join(extra) + "\r\n"
    return text


KEEP = object()
# A network-class device present throughout a timed run, whose listings by
# SetupAPI let the test driver count the program's attempts. Its hardware ID
# matches nothing, so the program passes it over without a trace.
CLOCK_DEVICE = CCS + "\\Enum\\ROOT\\EDCCA_ATTEMPT_CLOCK\\0000"


def clock_device_section():
    return (CLOCK_DEVICE, ['"HardwareID"=' + reg_multi_sz_8bit(["ROOT\\EDCCA_ATTEMPT_CLOCK"]),
                           '"ClassGUID"=' + reg_string(NET_CLASS_GUID), '"DeviceDesc"="Attempt clock"'])


def is_timed(scenario):
    """Whether anything in the scenario changes while the program runs."""
    answers = [a for d in scenario.get("drivers", []) for listed in d.get("answers", {}).values() for a in listed]
    return bool(scenario.get("events") or any("loaded" in d for d in scenario.get("drivers", [])) or
                any(parse_number(a.get("atMs", 0)) > 0 for a in answers))


def run_settings(exe, windows, architecture, timed):
    """The .reg text of one run: the Windows version Wine reports to the
    program, the machine's processor architecture (Wine resets it at every
    session start, so it is written into the running session; None deletes
    it, KEEP leaves Wine's), and the driver's clock: counting the program's
    attempts when the scenario is timed, else from its first request."""
    clock = ('"AttemptClock"=' + reg_string(nt_path(CLOCK_DEVICE)) if timed else
             '"ClockOrigin"=' + reg_hex(3, struct.pack("<Q", 0)))
    sections = [(APP_DEFAULTS_KEY + os.path.basename(exe), ['"Version"=' + reg_string(windows)]), (SERVICE_KEY + "\\Parameters", [clock])]
    if architecture is not KEEP:
        sections.append((ENVIRONMENT_KEY, ['"PROCESSOR_ARCHITECTURE"=' +
                                           ("-" if architecture is None else reg_string(architecture))]))
    return reg_document(sections)


CHANGE_RECORD = struct.Struct("<4I")
CHANGE_KINDS = {1: "event", 2: "fileAppears", 3: "fileGoes"}


def driver_changes(prefix, work_dir):
    """The test driver's log of the changes it made (registry events, device
    files appearing and going), each with the attempt whose pause it fell in:
    "attempt" n means the program's (n + 1)-th attempt had listed its devices
    when the change was made, so the change first shows at attempt n + 1
    (counted from 0); -1: before the first listing."""
    tree = export_tree(prefix, SERVICE_KEY + "\\Parameters", work_dir)
    log = tree.get(SERVICE_KEY + "\\Parameters", {}).get("Changes", (3, b""))[1]
    changes = []
    for at in range(0, len(log) - CHANGE_RECORD.size + 1, CHANGE_RECORD.size):
        sequence, attempt, kind, index = CHANGE_RECORD.unpack_from(log, at)
        changes.append({"sequence": sequence, "attempt": attempt - 2**32 if attempt >= 2**31 else attempt,
                        "kind": CHANGE_KINDS.get(kind, kind), "index": index})
    return changes


def driver_requests(prefix, work_dir, count):
    """The test driver's log of every adapter: a list of records, in order."""
    tree = export_tree(prefix, SERVICE_KEY + "\\Parameters\\Adapters", work_dir)
    requests = []
    for index in range(count):
        values = tree.get("%s\\Parameters\\Adapters\\%d" % (SERVICE_KEY, index), {})
        log = values.get("Log", (3, b""))[1]
        for at in range(0, len(log) - LOG_RECORD.size + 1, LOG_RECORD.size):
            record = dict(zip(LOG_FIELDS, LOG_RECORD.unpack_from(log, at)))
            entry = {"sequence": record["sequence"], "adapter": index, "ms": record["ms"]}
            if record["major"] == 0:
                entry.update({"request": "open", "status": "0x%08X" % record["status"]})
            else:
                entry.update({"request": "ioctl", "code": "0x%08X" % record["code"], "oid": "0x%08X" % record["oid"],
                              "inSize": record["inSize"], "outSize": record["outSize"],
                              "prefilled": ["0x%08X" % record["prefilled%d" % i] for i in range(record["outSize"] // 4)][:3],
                              "status": "0x%08X" % record["status"], "bytesReturned": record["bytesReturned"]})
            requests.append(entry)
    requests.sort(key=lambda r: r["sequence"])
    return requests


class Session:
    """A fresh prefix for one run, with its Wine session (and the test
    driver, when the scenario has adapters) running."""

    def __init__(self, cache, scenario, name):
        self.scenario = scenario
        self.work_dir = os.path.join(cache, "runs", name)
        self.prefix = os.path.join(self.work_dir, "prefix")
        self.drivers = len(scenario.get("drivers", []))
        self.driver_needed = bool(self.drivers or scenario.get("events"))
        self.server = None
        os.makedirs(self.work_dir, exist_ok=True)
        clone_prefix(ensure_template(cache), self.prefix)

    def __enter__(self):
        # A persistent server keeps the session, and with it the loaded
        # driver, alive between the runner's Wine commands.
        self.server = subprocess.Popen(["wineserver", "-f", "-p"], env=wine_environment(self.prefix),
                                       stderr=subprocess.DEVNULL)
        for number, text in enumerate(self.scenario.get("registryTexts", [])):
            import_reg(self.prefix, text, self.work_dir, "given%d.reg" % number)
        import_reg(self.prefix, scenario_registry(self.scenario), self.work_dir, "scenario.reg")
        if self.driver_needed:
            # Demand start, after the import: DriverEntry reads the adapters.
            wine(self.prefix, "net", "start", DRIVER_SERVICE)
        return self

    def __exit__(self, *exc):
        stop_session(self.prefix)
        if self.server is not None:
            self.server.wait(timeout=60)
        if not os.environ.get("EDCCA_WINE_KEEP"):
            shutil.rmtree(self.work_dir, ignore_errors=True)

    def watched_registry(self):
        keys = {}
        for tree in WATCHED_TREES:
            keys.update(export_tree(self.prefix, tree, self.work_dir))
        return keys

    def run(self, exe, windows):
        """Runs the program once as `windows` and returns the report."""
        before = self.watched_registry()
        timed = is_timed(self.scenario)
        import_reg(self.prefix, run_settings(exe, windows, self.scenario.get("processorArchitecture", KEEP), timed),
                   self.work_dir, "run.reg")
        out_path = os.path.join(self.work_dir, "stdout.bin")
        with open(out_path, "wb") as out:
            started = time.monotonic()
            process = subprocess.Popen(["wine", exe], env=wine_environment(self.prefix), stdout=out,
                                       stderr=subprocess.DEVNULL)
            exit_code = process.wait(timeout=120)
        duration = time.monotonic() - started
        with open(out_path, "rb") as f:
            stdout = f.read().decode("latin-1")
        return {"windows": windows, "exitCode": exit_code, "stdout": stdout, "trace": stdout.replace("\r\n", "\n"),
                "registryChanges": registry_changes(before, self.watched_registry()),
                "driverRequests": driver_requests(self.prefix, self.work_dir, self.drivers),
                "driverChanges": driver_changes(self.prefix, self.work_dir),
                "durationMs": round(duration * 1000)}


def scenario_versions(scenario, override):
    if override:
        return override
    windows = scenario.get("windows", "win7")
    if windows == "all":
        return WINDOWS_VERSIONS
    return windows if isinstance(windows, list) else [windows]


def run_scenario(cache, exe, path, versions=None, sim=False):
    """Every report of one scenario file (of this runner, or with sim, of the
    simulated host): one run, on a fresh machine, per Windows version."""
    if sim:
        scenario = translate_sim_scenario(path)
    else:
        with open(path) as f:
            scenario = json.load(f)
    reports = []
    for windows in scenario_versions(scenario, versions):
        name = "%s-%s-%d" % (os.path.splitext(os.path.basename(path))[0], windows, os.getpid())
        with Session(cache, scenario, name) as session:
            reports.append(session.run(os.path.abspath(exe), windows))
    return scenario, reports


# --------------------------------------------------------------------------
# The simulated host's scenarios (docs/scenario-format.md)

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
    scenario = {"description": sim.get("description", ""), "windows": windows, "exactVersion": exact,
                "netClass": True, "registryTexts": registry, "drivers": drivers, "events": events,
                "timed": is_timed({"drivers": drivers, "events": events}),
                "simExpect": sim.get("expect", {})}
    return scenario


def run_end(trace):
    """How a run ended and its attempts, read from its trace."""
    attempts = trace.count("--> DetectAdapter()\n")
    regions = re.findall(r" GetSupportCountryRegion Offset 0x38 = 0x([0-9a-f]+) , 0x39 = 0x[0-9a-f]+ \n", trace)
    ends_with_region = bool(regions) and re.search(r"0x39 = 0x[0-9a-f]+ \n$", trace) is not None
    if ends_with_region and int(regions[-1], 16) == 1:
        return "Written", attempts
    if ends_with_region and int(regions[-1], 16) in (2, 9):
        return "Declined", attempts
    return ("Exhausted" if attempts == 40 else "Unknown"), attempts


def sim_style_changes(changes):
    """This runner's registry changes in the simulated host's form."""
    converted = []
    for change in changes:
        key = change["key"].split("\\", 1)[1]
        if change["name"] is None:
            converted.append({"key": key, "change": "keyAdded" if change["after"] else "keyDeleted"})
            continue
        entry = {"key": key, "value": change["name"]}
        if change["after"] is None:
            entry["change"] = "valueDeleted"
        else:
            entry["type"] = change["after"]["type"]
            data = change["after"]["data"]
            if entry["type"] in ("REG_SZ", "REG_EXPAND_SZ"):
                entry["text"] = data
            elif entry["type"] == "REG_DWORD":
                entry["dword"] = data
            else:
                entry["hex"] = " ".join(data[i:i + 2] for i in range(0, len(data), 2))
        converted.append(entry)
    return converted


def normalised_sim_changes(changes):
    """Sim registry changes compared without regard to key case and with
    defaults filled in."""
    result = []
    for change in changes:
        entry = dict(change)
        entry["key"] = entry["key"].upper()
        if entry.get("change", "set") == "set":
            entry.pop("change", None)
            if "dword" in entry:
                entry["dword"] = parse_number(entry["dword"])
        result.append(entry)
    return result


def scheduled_changes(scenario):
    """The timed changes a scenario asks of the test driver, as {(kind, index):
    [(attempt, what)]}: the attempt (from 0) at whose listing each must be in
    place, in the order the driver makes them."""
    schedule = {}
    for index, event in enumerate(scenario.get("events", [])):
        schedule[("event", index)] = [(-(-parse_number(event["atMs"]) // 200), "event %d" % index)]
    for index, driver in enumerate(scenario.get("drivers", [])):
        spans = driver.get("loaded", [[0, None]])
        steps = []
        for start, until in spans:
            steps.append((-(-parse_number(start) // 200), "device file %d appears" % index))
            if until is not None:
                steps.append((-(-parse_number(until) // 200), "device file %d goes" % index))
        schedule[("file", index)] = steps
    return schedule


def attempt_delays(scenario, report):
    """When each timed change really took effect, read from the driver's log
    rather than the wall clock: {scheduled attempt: attempts late} for the
    changes a busy scheduler delayed, and the problems found (a change made
    early, or never)."""
    made = {}
    for change in report.get("driverChanges", []):
        key = ("event" if change["kind"] == "event" else "file", change["index"])
        made.setdefault(key, []).append(change["attempt"] + 1)
    delays, problems = {}, []
    for key, steps in scheduled_changes(scenario).items():
        effective = made.get(key, [])
        for number, (attempt, what) in enumerate(steps):
            if number >= len(effective):
                problems.append("%s: the driver never made it" % what)
            elif effective[number] < attempt:
                problems.append("%s: made for attempt %d, scheduled for %d" % (what, effective[number], attempt))
            elif effective[number] > attempt:
                delays[attempt] = max(delays.get(attempt, 0), effective[number] - attempt)
    return delays, problems


def request_times(report):
    """Whether each query came at the driver-clock time of its own attempt:
    the n-th region (and EEPROM) query belongs to the n-th attempt whose
    trace shows that query's line."""
    problems = []
    _, attempts = split_attempts(report["trace"])
    for oids, line in ((("0xFF0C0003", "0x0D710107"), " GetSupportCountryRegion Offset 0x38 = "),
                       (("0xFF0C0008", "0x0D710105"), "\n Offset 0x38 = ")):
        asked = [index for index, text in enumerate(attempts) if line in text]
        times = [r["ms"] for r in report["driverRequests"] if r["request"] == "ioctl" and r["oid"] in oids]
        for attempt, ms in zip(asked, times):
            if ms != attempt * 200:
                problems.append("a query of attempt %d was answered as of %d ms on the driver's clock" % (attempt, ms))
    return problems


def split_attempts(trace):
    """A trace cut before each "--> DetectAdapter()" line: what came before
    the first attempt, then one text per attempt."""
    parts = trace.split("--> DetectAdapter()\n")
    return parts[0], ["--> DetectAdapter()\n" + part for part in parts[1:]]


def delayed_trace(trace, delays):
    """The trace a run gives when changes take effect late: while a change
    is late, each attempt sees the machine of the attempt before it, and
    writes that attempt's lines again; the run still ends at 40 attempts."""
    head, attempts = split_attempts(trace)
    for attempt in sorted(delays, reverse=True):
        if 0 < attempt <= len(attempts):
            attempts[attempt:attempt] = [attempts[attempt - 1]] * delays[attempt]
    return head + "".join(attempts[:40])


def compare_with_sim(scenario, report):
    """Differences between a Wine report and the sim scenario's expectations.
    Timed changes are judged by when the driver logged them, not by the wall
    clock: a change a busy scheduler made late shifts the expected attempts."""
    expect = scenario["simExpect"]
    delays, problems = attempt_delays(scenario, report)
    if scenario["timed"]:
        problems += request_times(report)
    if "stdout" in expect:
        want = expect["stdout"] if isinstance(expect["stdout"], str) else "".join(expect["stdout"])
        want = delayed_trace(want, delays)
        if report["trace"] != want:
            problems.append("trace differs:\n--- expected\n%s--- got\n%s" % (want, report["trace"]))
    if delays:
        print("    the driver made changes late (scheduled attempt: attempts late): %s" % delays)
    end, attempts = run_end(report["trace"])
    if "end" in expect and end != expect["end"]:
        problems.append("ended %s, expected %s" % (end, expect["end"]))
    if "attempts" in expect and attempts != min(40, expect["attempts"] + sum(delays.values())):
        problems.append("%d attempts, expected %d" % (attempts, expect["attempts"]))
    if report["exitCode"] != parse_number(expect.get("exitCode", 0)):
        problems.append("exit code %d" % report["exitCode"])
    if "registryChanges" in expect:
        got = normalised_sim_changes(sim_style_changes(report["registryChanges"]))
        want = normalised_sim_changes(expect["registryChanges"])
        if got != want:
            problems.append("registry changes differ:\n expected %s\n got      %s" % (json.dumps(want), json.dumps(got)))
    return problems


# --------------------------------------------------------------------------
# Expectations


def expected_for(scenario, windows):
    """The scenario's expectations for one Windows version: "*" holds for every
    version, a version's own entry adds to it or overrides it."""
    expect = dict(scenario.get("expect", {}).get("*", {}))
    expect.update(scenario.get("expect", {}).get(windows, {}))
    return expect


def request_summary(report):
    """The driver requests as "adapter:request:oid" strings, the form in
    which scenarios state them (time and status left out)."""
    summary = []
    for r in report["driverRequests"]:
        if r["request"] == "open":
            summary.append("%d:open" % r["adapter"])
        else:
            summary.append("%d:%s:%s:%s" % (r["adapter"], r["oid"], ",".join(r["prefilled"]), r["status"]))
    return summary


def expand_lines(lines):
    """Expected output text from a list of strings and {"repeat": n,
    "lines": [...]} groups."""
    text = ""
    for entry in lines:
        text += entry if isinstance(entry, str) else expand_lines(entry["lines"]) * entry["repeat"]
    return text


MISMATCH_PREFIX = {"trace": "trace differs", "registry": "registry changes differ",
                   "requests": "driver requests differ"}


def compare(scenario, report):
    """Differences between a report and the scenario's expectations."""
    expect = expected_for(scenario, report["windows"])
    problems = []
    if "trace" in expect:
        want = expand_lines(expect["trace"])
        if report["trace"] != want:
            problems.append("trace differs:\n--- expected\n%s--- got\n%s" % (want, report["trace"]))
    if "stdoutUsesCrLf" in expect and expect["stdoutUsesCrLf"]:
        bare = report["stdout"].replace("\r\n", "")
        if "\n" in bare:
            problems.append("standard output has a line feed without a carriage return")
    if "registryChanges" in expect and report["registryChanges"] != expect["registryChanges"]:
        problems.append("registry changes differ:\n expected %s\n got      %s" % (
            json.dumps(expect["registryChanges"]), json.dumps(report["registryChanges"])))
    if "driverRequests" in expect and request_summary(report) != expect["driverRequests"]:
        problems.append("driver requests differ:\n expected %s\n got      %s" % (
            expect["driverRequests"], request_summary(report)))
    if report["exitCode"] != expect.get("exitCode", 0):
        problems.append("exit code %d, expected %d" % (report["exitCode"], expect.get("exitCode", 0)))
    if "maxDurationMs" in expect and report["durationMs"] > expect["maxDurationMs"]:
        problems.append("took %d ms, expected at most %d" % (report["durationMs"], expect["maxDurationMs"]))
    if "minDurationMs" in expect and report["durationMs"] < expect["minDurationMs"]:
        problems.append("took %d ms, expected at least %d" % (report["durationMs"], expect["minDurationMs"]))
    return problems


# --------------------------------------------------------------------------
# Command line


def run_contract(cache, exe, path):
    """Runs the host-contract suite on its machine. It passes when the
    program ended through ExitProcess with code 0 and its report's last line,
    written and flushed just before, arrived."""
    _, reports = run_scenario(cache, exe, path, None, sim=True)
    report = reports[0]
    print(report["trace"], end="")
    lines = report["trace"].splitlines()
    passed = report["exitCode"] == 0 and bool(lines) and re.match(r"host contract on .*, 0 failed$", lines[-1])
    if not passed:
        print("\nFAIL exit code %d; the report's last line must say 0 failed" % report["exitCode"])
    return 0 if passed else 1


def mismatch_list(text):
    parts = text.split(",")
    unknown = [p for p in parts if p not in MISMATCH_PREFIX]
    if unknown:
        raise argparse.ArgumentTypeError("unknown: %s" % ", ".join(unknown))
    return parts


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"),
                        help="where the template prefix and the driver are kept")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("template", help="make the cached prefix (and build the driver)")
    contract = commands.add_parser("contract", help="run the host-contract suite's Windows build on its machine "
                                   "(a scenario of the simulated host) and pass when every check passed")
    contract.add_argument("--exe", required=True, help="host_contract.exe")
    contract.add_argument("scenarios", nargs=1)
    for name in ("run", "check", "sim-run", "sim-check"):
        command = commands.add_parser(name, help=("run scenarios" if name in ("run", "check") else
                                                  "run scenarios of the simulated host (docs/scenario-format.md)") +
                                      (" and compare with their expectations" if name.endswith("check") else ""))
        command.add_argument("--exe", required=True, help="EdccaProvision.exe")
        command.add_argument("--windows", action="append", help="Windows version(s) instead of the scenario's")
        if name == "check":
            command.add_argument("--expect-mismatch", metavar="WHAT[,WHAT...]", type=mismatch_list,
                                 help="pass only when every report differs from its expectations in each of "
                                      "these: trace, registry, requests")
        command.add_argument("scenarios", nargs="+")
    args = parser.parse_args()

    try:
        if args.command == "template":
            print(ensure_template(args.cache))
            return 0
        if args.command == "contract":
            return run_contract(args.cache, args.exe, args.scenarios[0])
        failed = 0
        sim = args.command.startswith("sim-")
        for path in args.scenarios:
            try:
                scenario, reports = run_scenario(args.cache, args.exe, path, args.windows, sim)
            except NotReproducible as reason:
                print("skipped %s: %s" % (os.path.basename(path), reason))
                if len(args.scenarios) == 1:
                    return SKIP
                continue
            if args.command.endswith("run"):
                print(json.dumps({"scenario": path, "reports": reports}, indent=1))
                continue
            if sim:
                for report in reports:
                    problems = compare_with_sim(scenario, report)
                    print("%s %s [%s%s] %d ms" % ("FAIL" if problems else "ok  ", os.path.basename(path),
                          report["windows"], "" if scenario["exactVersion"] else ", nearest", report["durationMs"]))
                    for problem in problems:
                        print("    " + problem.replace("\n", "\n    "))
                    failed += bool(problems)
                continue
            for report in reports:
                problems = compare(scenario, report)
                if args.expect_mismatch:
                    caught = [what for what in args.expect_mismatch
                              if any(p.startswith(MISMATCH_PREFIX[what]) for p in problems)]
                    missed = sorted(set(args.expect_mismatch) - set(caught))
                    print("%s %s [%s] differences found: %s%s" % ("FAIL" if missed else "ok  ", os.path.basename(path),
                          report["windows"], ", ".join(caught) or "none",
                          "; not found: " + ", ".join(missed) if missed else ""))
                    failed += bool(missed)
                    continue
                status = "FAIL" if problems else "ok  "
                print("%s %s [%s] %d ms" % (status, os.path.basename(path), report["windows"], report["durationMs"]))
                for problem in problems:
                    print("    " + problem.replace("\n", "\n    "))
                failed += bool(problems)
        return 1 if failed else 0
    except Skip as skip:
        print("skipped: %s" % skip)
        return SKIP


if __name__ == "__main__":
    sys.exit(main())
