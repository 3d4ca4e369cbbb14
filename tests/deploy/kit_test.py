#!/usr/bin/env python3
"""kit_test.py - the package's command file, edcca.cmd, run by Wine's cmd on
the machines that scenarios describe (set up by the Wine runner,
tests/wine), one case per row of CASES.

    kit_test.py --cache DIR --zip EdccaProvision-<version>-win32.zip CASE
    kit_test.py --list

Each case unpacks the package into C:\\ of a fresh machine, leaves an earlier
record in the log, plants what the case plants, and runs its steps (edcca.cmd
with their arguments, by the 64-bit or the 32-bit cmd, as Intune's agent
starts it). After each step it checks the exit code cmd returns, the record
appended to the log (its header: time, computer, kit version, outcome, exit
code; its notes; the trace, byte for byte the scenario's expected output),
the detection marker, every EDCCAEnable value of the network class, and the
collections in the log folder: a run that did not provision, or was asked
to (/collect), leaves one, whose trace is the record's and whose replay by
edcca-sim (--replay) reproduces the run's last attempt; at the end, that the
earlier record is still there, the rollback records, and that nothing
planted ran or was written through.
Exits 77 (skipped) where Wine or the x86-64 MinGW compiler is missing.
"""

import argparse
import json
import os
import re
import subprocess
import sys
import time
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import wine_machine  # noqa: E402
import wine_observation  # noqa: E402
import wine_prefix  # noqa: E402
import wine_runner  # noqa: E402

CLASS = wine_machine.CCS + "\\Control\\Class\\" + wine_machine.NET_CLASS_GUID
MARKER = "HKEY_LOCAL_MACHINE\\SYSTEM\\EdccaProvision"
EARLIER = "==== earlier record of another run\r\nits trace\r\n"
LOG_BOUND = 1048576


def step(command, outcome, code, marker, values, cmd="64", notes=None, before=None):
    """One run of edcca.cmd with command as its arguments ("": none); what it must return and leave. marker: the
    marker's Outcome (or {value: data} of those checked), None for no
    marker; values: every EDCCAEnable of the network class afterwards,
    {instance: "TYPE DATA"}; notes: the record's "---- " lines, when given;
    before: what is done to the machine first ("remove program", "reset
    value")."""
    return {"command": command, "outcome": outcome, "code": code, "marker": marker, "values": values, "cmd": cmd,
            "notes": notes, "before": before}


def kept(instance, earlier, source="kept for /uninstall"):
    return "---- %s: EDCCAEnable before the first run: %s (%s)" % (instance, earlier, source)


WRITTEN_0007 = {"0007": "REG_SZ 1"}
COLLECTED = "---- what the program saw is collected in C:\\windows\\Logs\\EdccaProvision\\collection"
INSTALLED_0007 = ["---- 0007: EDCCAEnable REG_SZ 1"]
# The kit 1.0.0 left: its marker, its log and its state file in %ProgramData%,
# and the "1" it wrote.
KIT_100 = dict(earlier_marker={"Outcome": "Written", "Version": "1.0.0", "Time": "12/01/2026 10:00:00.00"},
               earlier_values={"0007": "1"})
# A state file a standard user planted in kit 1.0.0's folder: records for
# the adapter, another adapter and the Ethernet adapter, and a line that
# would run a command if the kit ever expanded it.
PLANTED = "0007 absent\r\n0007 REG_SZ x\r\n0001 REG_SZ x\r\n0011 absent\r\n0007 absent\"&echo planted>C:\\planted.txt&\"\r\n"
# name: scenario, steps, the rollback records at the end ({instance: "TYPE
# DATA"}; None: no record key), and what else the case sets up.
CASES = {
    "written-then-uninstalled": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, {"Outcome": "Written", "Adapters": "1", "DriverKeys": "0007"},
                    WRITTEN_0007, notes=[kept("0007", "absent")]),
               step("/uninstall", "Uninstalled", 0, None, {},
                    notes=["---- 0007: EDCCAEnable removed, as it was absent"])],
        rollback=None),
    # The x64 probe fails at every version query: its text, with no line
    # feed, stands before the region line.
    "written-while-the-probe-fails": dict(
        scenario="tests/scenarios/no-processor-architecture.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")])],
        rollback={"0007": "absent"}),
    "declined": dict(
        scenario="examples/declined-region-2.json",
        steps=[step("", "Declined", 0, {"Outcome": "Declined", "DriverKeys": ""}, {}, cmd="32")],
        rollback=None),
    # As on Windows XP: no ProgramData; and no script host, so the time is
    # the locale's text.
    "no-adapter-without-programdata-or-script-host": dict(
        scenario="examples/exhausted-no-adapter.json",
        steps=[step("", "NoAdapter", 1618, None, {})],
        rollback=None, no_programdata=True, no_script_host=True, exported=["class.reg", "environment.reg"]),
    "no-decision": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("", "NoDecision", 1618, None, {}, notes=[COLLECTED])],
        rollback=None),
    "write-failed": dict(
        scenario="tests/scenarios/driver-key-missing.json",
        steps=[step("", "WriteFailed", 1603, None, {})],
        rollback=None, exported=["class.reg", "enum.reg", "environment.reg", "services-class-net.reg"]),
    # The program writes the last adapter it finds only, whatever the first
    # one's region: not plain Written, and no retry.
    "two-adapters-second-written-then-restored": dict(
        scenario="tests/scenarios/two-adapters-first-off.json",
        steps=[step("", "SeveralAdapters", 2,
                    {"Outcome": "SeveralAdapters", "Adapters": "2", "DriverKeys": "0011"},
                    {"0007": "REG_SZ 0", "0011": "REG_SZ 1"},
                    notes=[kept("0011", "absent"), "---- the last attempt counted 2 adapters; the program provisioned "
                           "the last one it found only. Driver keys holding EDCCAEnable = 1: 0011", COLLECTED]),
               step("/uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"},
                    notes=["---- 0011: EDCCAEnable removed, as it was absent"])],
        rollback=None),
    # Without edcca-facts.vbs beside it (a kit folder put together by hand):
    # the version from "ver", presence assumed, and the replay still holds.
    "two-adapters-second-driver-not-loaded": dict(
        scenario="examples/two-adapters-second-driver-not-loaded.json",
        steps=[step("", "NoDecision", 1618, None, {},
                    notes=['---- 2 adapters are installed; the program queries the last one it finds only: '
                           '"0007: EDCCAEnable absent" "0011: EDCCAEnable absent"', COLLECTED])],
        rollback=None, remove_facts_script=True),
    "overwrite-run-twice-then-restored": dict(
        scenario="examples/win7-x86-overwrite.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, cmd="32", notes=[kept("0007", "REG_SZ 0")]),
               step("", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("/uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"}, cmd="32",
                    notes=["---- 0007: EDCCAEnable restored to REG_SZ 0"])],
        rollback=None, rollback_after_second_step={"0007": "REG_SZ 0"}),
    "two-runs-at-once": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007)] * 2,
        rollback={"0007": "absent"}, at_once=True, note=r"(, waited \d+ s for another run)?"),
    "lock-held-by-another-run": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007)],
        rollback={"0007": "absent"}, lock="released", note=r", waited \d+ s for another run"),
    # Both find the lock left behind: one takes it over, the other waits
    # for that one (a wait longer than a run: a holder that keeps the lock
    # longer than the wait counts as gone).
    "two-runs-at-a-lock-left-behind": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007)] * 2,
        rollback={"0007": "absent"}, lock="stale", lock_wait=10, at_once=True,
        notes_of_the_pair=[", took over a lock left for 10 s", r", waited \d+ s for another run"]),
    # A record that cannot be put back, and one for a driver key that is
    # gone: /uninstall keeps them and the marker, and creates no key.
    "uninstall-cannot-restore": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("/uninstall", "UninstallFailed", 1603, "Written", WRITTEN_0007,
                    notes=["---- 0007: EDCCAEnable could not be restored to REG_BINARY zz",
                           "---- 0099: the driver key is gone; nothing to restore"])],
        rollback={"0007": "REG_BINARY zz", "0099": "REG_SZ 0"},
        earlier_rollback={"0007": "REG_BINARY zz", "0099": "REG_SZ 0"}),
    # The marker's key denies writing: never success.
    "marker-read-only": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "MarkerFailed", 1603, {}, WRITTEN_0007),
               step("/uninstall", "UninstallFailed", 1603, {}, {},
                    notes=["---- 0007: EDCCAEnable removed, as it was absent",
                           "---- the marker HKLM\\SYSTEM\\EdccaProvision could not be removed"])],
        rollback={"0007": "absent"}, marker_read_only=True),
    "program-missing": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "ProgramMissing", 1603, None, {})],
        rollback=None, remove_program=True),
    "program-does-not-start": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "ProgramMissing", 1603, None, {})],
        rollback=None, break_program=True),
    "log-past-its-bound": dict(
        scenario="examples/declined-region-9.json",
        steps=[step("", "Declined", 0, "Declined", {})],
        rollback=None, full_log=True),
    # Every command by its full path: commands of the same names first in
    # PATH are never run.
    "hostile-commands-first-in-path": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")]),
               step("/uninstall", "Uninstalled", 0, None, {})],
        rollback=None, hostile_path=True),
    # An administrator set the "1" by hand; the kit 1.0.0 never ran: the
    # planted records are ignored, and /uninstall leaves the "1".
    "planted-state-file-ignored": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("/uninstall", "Uninstalled", 0, None, WRITTEN_0007, notes=[])],
        rollback=None, old_state=PLANTED, earlier_values={"0007": "1"}),
    "planted-link-for-the-log-folder": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "UnsafeFolder", 1603, None, {})],
        rollback=None, planted_link="."),
    # A collection's folder that would be removed, a link to a folder
    # holding a file: refused before anything is removed through it.
    "planted-link-for-a-collection": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("", "UnsafeFolder", 1603, None, {})],
        rollback=None, planted_link="collection.2"),
    "usage": dict(
        scenario="examples/written-region-1.json",
        steps=[step("/?", None, 0, None, {}), step("uninstall", None, 87, None, {}),
               step("-uninstall", None, 87, None, {}), step("/remove", None, 87, None, {}),
               step("/uninstall now", None, 87, None, {})],
        rollback=None),
    # A driver reinstall resets the value and leaves the marker: /status
    # tells, the next run writes it again.
    "status-before-and-after-a-reset": dict(
        scenario="examples/written-region-1.json",
        steps=[step("/status", None, 3, None, {}),
               step("", "Written", 0, "Written", WRITTEN_0007),
               step("/status", None, 0, "Written", WRITTEN_0007),
               step("/status", None, 3, "Written", {}, before="reset value")],
        rollback={"0007": "absent"}),
    # Kit 1.0.0 wrote "1" where there was none, and a user planted lines
    # beside its record: only its record for the adapter is taken.
    "upgrade-from-1.0.0-then-uninstalled": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007,
                    notes=[kept("0007", "absent", "taken from kit 1.0.0's records")]),
               step("/uninstall", "Uninstalled", 0, None, {},
                    notes=["---- 0007: EDCCAEnable removed, as it was absent"])],
        rollback=None, old_state=PLANTED, **KIT_100),
    # Collections of the machines whose runs did not provision, and of two
    # that did, asked for; every collection is replayed (see run_case).
    # Found, then unplugged (under Wine its instance key goes): WMI no
    # longer lists it.
    "collect-device-unplugged": dict(
        scenario="tests/scenarios/device-unplugged.json",
        steps=[step("", "NoDecision", 1618, None, {})],
        rollback=None),
    "collect-no-net-class": dict(
        scenario="tests/scenarios/no-net-class.json",
        steps=[step("", "NoAdapter", 1618, None, {})],
        rollback=None, exported=["environment.reg"]),
    "collect-written": dict(
        scenario="examples/written-region-1.json",
        steps=[step("/collect", "Written", 0, "Written", WRITTEN_0007)],
        rollback={"0007": "absent"}),
    # Four collections: the oldest goes.
    "collect-two-adapters-four-times": dict(
        scenario="examples/two-adapters.json",
        steps=[step("/collect", "SeveralAdapters", 2, "SeveralAdapters", {"0011": "REG_SZ 1"})] * 4,
        rollback={"0011": "absent"}),
    # A replay that does not reproduce the run names the first line that
    # differs: here a collection edited by hand to say the adapter was
    # unplugged.
    "collect-edited-by-hand": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("", "NoDecision", 1618, None, {})],
        rollback=None, edit_facts=("Present=USB\\VID_13B1&PID_003B\\00E04C3B0001\r\n", ""),
        differs=("<-- GetAvailableAdapters() :  Available adapter number = 1\\n",
                 "GetAvailableAdapters() : No Available Adapter\\n")),
    # An export above the bound is left out, and said so; without the
    # network class the replay cannot reproduce the run.
    "collect-export-too-large": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("", "NoDecision", 1618, None, {})],
        rollback=None, large_class_value=True, replayed=1, exported=["enum.reg", "environment.reg"], left_out=True),
    # Characters cmd treats specially in the kit's folder. Not "%": Wine's
    # cmd expands variables again in what %~dp0 gives (Windows' does not).
    "awkward-folder-then-program-missing": dict(
        scenario="examples/written-region-1.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007),
               step("", "ProgramMissing", 1603, "Written", WRITTEN_0007, before="remove program")],
        rollback={"0007": "absent"}, folder="Kit & Tools (new)! \u00c9t\u00e9"),
}
HEADER = re.compile(r"==== (?:(?P<time>.+), )?(?P<computer>[^,]+), kit (?P<kit>[^:]+): (?P<outcome>\w+), "
                    r"exit code (?P<code>\d+)(?P<note>.*)$")
ISO_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
HOSTILE = "@echo %0 %* >>C:\\hijacked.txt\r\n@exit /b 1\r\n"


def collects(action):
    """Whether a step leaves a collection: a provisioning run whose program
    ran and that did not provision, or one asked to collect."""
    ran = action["command"] in ("", "/collect") and action["outcome"] not in (None, "UnsafeFolder", "ProgramMissing")
    return ran and (action["command"] == "/collect" or action["outcome"] not in ("Written", "Declined"))


def replay(collection, report):
    """edcca-sim --replay of a collection: its exit code and its report."""
    result = subprocess.run([wine_machine.EDCCA_SIM, "--replay", collection, "--report", report],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return result.returncode, (read(report) or "") + result.stderr


def records(log):
    """The log's records: lists of lines, each beginning with its header."""
    found = []
    for line in log.split("\r\n")[:-1]:
        if line.startswith("==== ") or not found:
            found.append([])
        found[-1].append(line)
    return found


def registry_state(session):
    """The marker's values {name: text} (None: no marker), the rollback
    records under it {instance: text} (None: none) and every EDCCAEnable of
    the network class {instance: "TYPE DATA"}, as regedit exports them."""
    def text(value):
        return value[1].rstrip(b"\0").decode("latin-1")

    def key(tree, path):
        values = next((v for k, v in tree.items() if k.upper() == path.upper()), None)
        return None if values is None else {name: text(value) for name, value in values.items()}
    marker = wine_observation.export_tree(session.prefix, MARKER, session.work_dir)
    values = {key.rsplit("\\", 1)[1]: "%s %s" % ({1: "REG_SZ"}.get(value[0], "type %d" % value[0]), text(value))
              for key, keys in wine_observation.export_tree(session.prefix, CLASS, session.work_dir).items()
              for name, value in keys.items() if name == "EDCCAEnable"}
    return key(marker, MARKER), key(marker, MARKER + "\\Rollback"), values


def reg_add(session, key, name, data):
    wine_prefix.wine(session.prefix, "reg", "add", key, "/v", name, "/d", data, "/f")


def expected_trace(path):
    """The program's output the scenario fixes, CR LF as msvcrt writes it."""
    with open(path) as f:
        stdout = json.load(f)["expect"]["stdout"]
    return "".join(stdout).replace("\n", "\r\n")


def read(path):
    if os.path.exists(path):
        with open(path, "rb") as f:
            return f.read().decode("latin-1")


def write(path, text, encoding="latin-1"):
    with open(path, "w", newline="", encoding=encoding) as f:
        f.write(text)


def start(session, folder, case, number, action):
    """Starts one step: edcca.cmd by cmd /c, as deployment tools do; the exit
    code cmd returns is kept in code-N.txt (Wine's own exit status holds only
    its low 8 bits), its output in out-N.txt. A scenario's machine holds only
    the environment keys the scenario gives: the search path every Windows
    has is set here."""
    path = "C:\\windows\\system32;C:\\windows"
    lines = ["@echo off", "set PATH=%s%s" % ("C:\\hostile;" if case.get("hostile_path") else "", path),
             "set PATHEXT=.COM;.EXE;.BAT;.CMD"]
    lines += ["set ProgramData="] if case.get("no_programdata") else []
    lines += ["set EDCCA_LOCK_WAIT=%d" % case["lock_wait"]] if case.get("lock") == "stale" else []
    # As Intune and Configuration Manager run it: in the kit's folder, by
    # its name.
    lines += ['cd /d "C:\\%s"' % folder.replace("%", "%%"),
              'cmd /c edcca.cmd%s >C:\\kit\\out-%d.txt 2>&1' % (" " + action["command"] if action["command"] else "",
                                                                 number),
              ">C:\\kit\\code-%d.txt echo %%errorlevel%%" % number]
    # cmd reads a batch file in the OEM code page.
    write(os.path.join(session.prefix, "drive_c", "kit", "step-%d.cmd" % number), "\r\n".join(lines) + "\r\n", "cp437")
    cmd = "C:\\windows\\syswow64\\cmd.exe" if action["cmd"] == "32" else "cmd"
    return subprocess.Popen(["wine", cmd, "/c", "C:\\kit\\step-%d.cmd" % number],
                            env=wine_prefix.wine_environment(session.prefix),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def set_up(session, case, key_acl):
    """The machine as the case has it before its first step: the package
    unpacked, an earlier record in the log, and what the case plants.
    Returns the kit's folder name and the log folder."""
    drive_c = os.path.join(session.prefix, "drive_c")
    os.makedirs(os.path.join(drive_c, "kit"))
    with zipfile.ZipFile(case["zip"]) as z:
        z.extractall(drive_c)
        folder = z.namelist()[0].rstrip("/")
    if case.get("folder"):
        os.rename(os.path.join(drive_c, folder), os.path.join(drive_c, case["folder"]))
        folder = case["folder"]
    data = os.path.join(drive_c, "windows", "logs", "EdccaProvision")
    if case.get("planted_link") == ".":
        os.makedirs(os.path.join(drive_c, "elsewhere"))
        os.symlink(os.path.join(drive_c, "elsewhere"), data)
    else:
        os.makedirs(data)
        earlier = EARLIER + ("x" * (LOG_BOUND - len(EARLIER) - 2) + "\r\n" if case.get("full_log") else "")
        write(os.path.join(data, "log.txt"), earlier)
    if case.get("planted_link", ".") != ".":
        os.makedirs(os.path.join(drive_c, "elsewhere"))
        write(os.path.join(drive_c, "elsewhere", "precious.txt"), "kept\r\n")
        os.symlink(os.path.join(drive_c, "elsewhere"), os.path.join(data, case["planted_link"]))
    old = os.path.join(drive_c, "ProgramData", "EdccaProvision")
    if case.get("old_state"):
        os.makedirs(old)
        write(os.path.join(old, "earlier-state.txt"), case["old_state"])
        write(os.path.join(old, "log.txt"), EARLIER)
    for name, data_text in case.get("earlier_marker", {}).items():
        reg_add(session, MARKER, name, data_text)
    for instance, data_text in case.get("earlier_values", {}).items():
        reg_add(session, CLASS + "\\" + instance, "EDCCAEnable", data_text)
    for instance, data_text in case.get("earlier_rollback", {}).items():
        reg_add(session, MARKER + "\\Rollback", instance, data_text)
    if case.get("marker_read_only"):
        wine_prefix.wine(session.prefix, key_acl, "SYSTEM\\EdccaProvision", "D:P(A;;KR;;;WD)")
    program = os.path.join(drive_c, folder, "EdccaProvision.exe")
    if case.get("remove_program"):
        os.remove(program)
    if case.get("break_program"):
        write(program, "not a program\r\n")
    if case.get("lock"):
        os.mkdir(os.path.join(data, "lock"))
    if case.get("hostile_path"):
        os.makedirs(os.path.join(drive_c, "hostile"))
        for command in ("find", "reg", "ping", "cscript", "mkdir"):
            write(os.path.join(drive_c, "hostile", command + ".cmd"), HOSTILE)
    if case.get("large_class_value"):
        # 800 000 bytes, some 4.8 MB as regedit's UTF-16 hex lines.
        session.import_reg(wine_machine.reg_document([(CLASS + "\\0001", ['"Large"=' + wine_machine.reg_hex(
            3, bytes(800000))])]), "large.reg")
    if case.get("remove_facts_script"):
        os.remove(os.path.join(drive_c, folder, "edcca-facts.vbs"))
    if case.get("no_script_host"):
        for system in ("system32", "syswow64"):
            os.remove(os.path.join(drive_c, "windows", system, "cscript.exe"))
    return folder, data


def run_case(cache, package, key_acl, name):
    case = dict(CASES[name], zip=package)
    machine_scenario = wine_machine.translate_sim_scenario(os.path.join(ROOT, case["scenario"]))
    trace = expected_trace(os.path.join(ROOT, case["scenario"]))
    version = re.search(r"EdccaProvision-(.+)-win32\.zip$", package).group(1)
    failures = []

    def check(what, ok, detail=""):
        print("%s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else ": " + detail))
        if not ok:
            failures.append(what)

    work_dir = os.path.join(cache, "runs", "kit-%s-%d" % (name, os.getpid()))
    with wine_prefix.Session(wine_runner.template(cache), work_dir) as session:
        wine_runner.set_up_machine(session, machine_scenario, "EdccaProvision.exe", machine_scenario["windows"])
        # Windows tells every program the same version: Wine, per program,
        # is told so for the script host that collects it.
        reg_add(session, "HKEY_CURRENT_USER\\Software\\Wine\\AppDefaults\\cscript.exe", "Version",
                machine_scenario["windows"])
        folder, data = set_up(session, case, key_acl)
        drive_c = os.path.join(session.prefix, "drive_c")
        kit = os.path.join(drive_c, "kit")
        first_line = EARLIER.split("\r\n")[0]

        seen = 0
        made = 0
        steps = list(enumerate(case["steps"]))
        for group in [steps] if case.get("at_once") else [[step] for step in steps]:
            for _, action in group:
                if action["before"] == "remove program":
                    os.remove(os.path.join(drive_c, folder, "EdccaProvision.exe"))
                if action["before"] == "reset value":
                    wine_prefix.wine(session.prefix, "reg", "delete", CLASS + "\\0007", "/v", "EDCCAEnable", "/f")
            started = [start(session, folder, case, n, s) for n, s in group]
            if case.get("lock") == "released":
                time.sleep(3)
                check("waits while the lock is held", records(read(os.path.join(data, "log.txt")))[-1][0] ==
                      first_line, "a record was written while the lock was held")
                os.rmdir(os.path.join(data, "lock"))
            for process in started:
                process.wait(timeout=300)
            marker, rollback, values = registry_state(session)
            new = [r for r in records(read(os.path.join(data, "log.txt")) or "") if r[0] != first_line]
            new = new[seen:] if not case.get("full_log") else new
            logged = [n for n, s in group if s["outcome"] not in (None, "UnsafeFolder")]
            seen += len(logged)
            check("one record per logged run (%d)" % len(logged), len(new) == len(logged), "%d new records" % len(new))
            new = iter(new)
            for number, action in group:
                label = "step %d (%r, %s-bit cmd)" % (number + 1, action["command"], action["cmd"])
                code = (read(os.path.join(kit, "code-%d.txt" % number)) or "").strip()
                check("%s: exit code %d" % (label, action["code"]), code == str(action["code"]), "got %s" % code)
                out = read(os.path.join(kit, "out-%d.txt" % number)) or ""
                if action["outcome"] is None:
                    continue
                record = records(out) if action["outcome"] == "UnsafeFolder" else [next(new, [""])]
                record = record[0] if record else [""]
                header = HEADER.match(record[0])
                check("%s: record header" % label, bool(header), record[0])
                if not header:
                    continue
                check("%s: outcome %s, kit %s, code in the header" % (label, action["outcome"], version),
                      (header["outcome"], header["kit"], header["code"]) ==
                      (action["outcome"], version, str(action["code"])), record[0])
                if action["outcome"] != "UnsafeFolder":
                    check("%s: time ISO 8601 UTC, or the locale's without a script host" % label,
                          bool(ISO_TIME.match(header["time"] or "")) != bool(case.get("no_script_host")), record[0])
                if "notes_of_the_pair" not in case:
                    check("%s: header note" % label, re.fullmatch(case.get("note", ""), header["note"]) is not None,
                          repr(header["note"]))
                notes = [line for line in record[1:] if line.startswith("---- ")]
                if action["notes"] is not None:
                    check("%s: notes %s" % (label, action["notes"]), notes == action["notes"], "%r" % notes)
                body = "".join(line + "\r\n" for line in record[1:] if not line.startswith("---- "))
                if action["outcome"] == "ProgramMissing":
                    # In the console's code page (Windows: OEM; Wine: ANSI).
                    where = ['looked for: "C:\\%s\\EdccaProvision.exe"' % folder.encode(page).decode("latin-1")
                             for page in ("cp437", "cp1252")]
                    check("%s: says where the program was looked for" % label,
                          any(line.endswith(tuple(where)) for line in record), "\n".join(record))
                elif action["command"] == "" and action["outcome"] != "UnsafeFolder":
                    check("%s: the trace, byte for byte" % label, body == trace,
                          "%r... (%d bytes)" % (body[:200], len(body)))
                if action["marker"] and action["command"] == "" and not case.get("at_once") and \
                        action["outcome"] not in ("MarkerFailed", "ProgramMissing"):
                    check("%s: marker's time is the run's" % label,
                          marker is not None and marker.get("Time") == header["time"], "%r" % marker)
            if "notes_of_the_pair" in case:
                got = sorted(HEADER.match(r[0])["note"] for r in records(read(os.path.join(data, "log.txt")))
                             if r[0] != first_line)
                check("one run took the lock over, the other waited for it",
                      len(got) == 2 and all(re.fullmatch(w, g) for w, g in zip(case["notes_of_the_pair"], got)),
                      repr(got))
            number, last = group[-1]
            wanted = last["marker"]
            if wanted is not None:
                wanted = dict({"Outcome": wanted} if isinstance(wanted, str) else wanted)
                wanted.setdefault("Outcome", None)
                wanted.setdefault("Version", version if wanted["Outcome"] else None)
            got = None if marker is None else {k: marker.get(k) for k in wanted or ()}
            check("marker after step %d: %s" % (number + 1, wanted), got == wanted, "%r" % marker)
            check("EDCCAEnable values after step %d: %s" % (number + 1, last["values"]), values == last["values"],
                  "%r" % values)
            made += sum(1 for _, action in group if collects(action))
            kept_folders = ["collection", "collection.1", "collection.2"][:min(made, 3)]
            folders = sorted(n for n in os.listdir(data) if n.startswith("collection") and
                             not os.path.islink(os.path.join(data, n))) if os.path.isdir(data) else []
            check("collections after step %d: %s" % (number + 1, kept_folders), folders == kept_folders, repr(folders))
            if collects(last) and folders:
                collection = os.path.join(data, "collection")
                files = sorted(os.listdir(collection))
                exported = case.get("exported", ["class.reg", "enum.reg", "environment.reg"])
                check("the collection holds its summary, trace, facts and %s" % exported,
                      files == sorted(["collection.txt", "facts.txt", "trace.txt"] + exported), repr(files))
                if case.get("left_out"):
                    check("the summary says what was left out", "left out, larger than 4 MB" in
                          (read(os.path.join(collection, "collection.txt")) or ""),
                          read(os.path.join(collection, "collection.txt")) or "")
                check("the collection's trace is the run's", read(os.path.join(collection, "trace.txt")) == trace,
                      repr((read(os.path.join(collection, "trace.txt")) or "")[-200:]))
                facts = (read(os.path.join(collection, "facts.txt")) or "").split("\r\n")
                presence = "Presence=%s" % ("assumed" if case.get("no_script_host") or case.get("remove_facts_script")
                                            else "Win32_PnPEntity")
                check("the collection says how it knows the adapters present (%s)" % presence, presence in facts,
                      repr(facts))
                edit = case.get("edit_facts")
                if edit:
                    text = read(os.path.join(collection, "facts.txt"))
                    check("the facts to edit", edit[0] in text, repr(text))
                    write(os.path.join(collection, "facts.txt"), text.replace(edit[0], edit[1]))
                code, report = replay(collection, os.path.join(session.work_dir, "replay-%d.txt" % number))
                if edit:
                    verdict = re.search(r'^replay: NOT reproduced: line (\d+) of the last attempt differs: '
                                        r'recorded "(.*)", replayed "(.*)"$', report, re.M)
                    check("the edited collection's replay does not reproduce the run, and names the line",
                          code == 1 and verdict is not None and verdict.groups() == ("3",) + case["differs"],
                          "exit code %d: %s" % (code, report))
                else:
                    replayed = case.get("replayed", 0)
                    check("the collection's replay %s the run's last attempt" %
                          ("reproduces" if replayed == 0 else "does not reproduce"), code == replayed,
                          "exit code %d: %s" % (code, report))
            if case.get("rollback_after_second_step") and number == 1:
                check("rollback records after the second run", rollback == case["rollback_after_second_step"],
                      repr(rollback))

        log = read(os.path.join(data, "log.txt")) or ""
        if case.get("planted_link"):
            elsewhere = os.path.join(drive_c, "elsewhere")
            there = sorted(os.listdir(elsewhere)) if os.path.isdir(elsewhere) else ["(the folder is gone)"]
            check("nothing written or removed through the planted link",
                  there == ([] if case["planted_link"] == "." else ["precious.txt"]), ", ".join(there))
        elif case.get("full_log"):
            rotated = read(os.path.join(data, "log.1.txt"))
            check("the full log moved to log.1.txt whole", rotated == EARLIER + "x" * (LOG_BOUND - len(EARLIER) - 2)
                  + "\r\n", "%r" % (rotated or "")[:100])
            check("log.txt begins anew with the run's record", log.startswith("==== ") and len(log) < 4096,
                  "%d bytes: %r" % (len(log), log[:100]))
        else:
            check("the earlier record kept at the log's start", log.startswith(EARLIER), repr(log[:100]))
            left = sorted(n for n in set(os.listdir(data)) - {"log.txt", "log.1.txt"} if not n.startswith("collection"))
            check("nothing else left in the log folder", not left, ", ".join(left))
        _, rollback, _ = registry_state(session)
        check("rollback records %r" % case["rollback"], rollback == case["rollback"], repr(rollback))
        old = os.path.join(drive_c, "ProgramData", "EdccaProvision")
        if case.get("old_state"):
            check("kit 1.0.0's folder left as it was", sorted(os.listdir(old)) == ["earlier-state.txt", "log.txt"] and
                  read(os.path.join(old, "earlier-state.txt")) == case["old_state"], ", ".join(os.listdir(old)))
        for planted in ("hijacked.txt", "planted.txt"):
            check("no %s: nothing a user planted ran" % planted, not os.path.exists(os.path.join(drive_c, planted)),
                  read(os.path.join(drive_c, planted)) or "")
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"))
    parser.add_argument("--zip")
    parser.add_argument("--key-acl", help="key_acl.exe, which sets a registry key's DACL")
    parser.add_argument("--list", action="store_true", help="print the cases' names")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    args = parser.parse_args()
    if args.list:
        print("\n".join(CASES))
        return 0
    if not args.zip or not args.case:
        parser.error("--zip and a case are needed")
    args.cache = os.path.abspath(args.cache)  # Wine needs an absolute WINEPREFIX
    try:
        return run_case(args.cache, os.path.abspath(args.zip), args.key_acl and os.path.abspath(args.key_acl), args.case)
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP


if __name__ == "__main__":
    sys.exit(main())
