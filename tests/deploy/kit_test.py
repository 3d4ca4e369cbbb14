#!/usr/bin/env python3
"""kit_test.py - the package's command file, edcca.cmd, run by Wine's cmd on
the machines that scenarios describe (set up by the Wine runner,
tests/wine), one case per row of CASES.

    kit_test.py --cache DIR --zip EdccaProvision-<version>-win32.zip CASE
    kit_test.py --list

Each case unpacks the package into C:\\ of a fresh machine, leaves an earlier
record in the log, and runs its steps (edcca.cmd or edcca.cmd /uninstall, by
the 64-bit or the 32-bit cmd, as Intune's agent starts it). After each step
it checks the exit code cmd returns, the record appended to the log (its
header: time, computer, kit version, outcome, exit code; the trace, byte for
byte the scenario's expected output), the detection
marker and every EDCCAEnable value of the network class; at the end, that the
earlier record is still there and the recorded earlier state.
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


def step(command, outcome, code, marker, values, cmd="64", notes=None):
    """One run of edcca.cmd (command "install") or edcca.cmd /uninstall:
    what it must return and leave. marker: the marker's Outcome, or None for
    no marker; values: every EDCCAEnable of the network class afterwards,
    {instance: "TYPE DATA"}; notes: the record's "---- " lines, when given."""
    return {"command": command, "outcome": outcome, "code": code, "marker": marker, "values": values, "cmd": cmd,
            "notes": notes}


def kept(instance, earlier):
    return "---- %s: EDCCAEnable before the first run: %s (kept for /uninstall)" % (instance, earlier)


WRITTEN_0007 = {"0007": "REG_SZ 1"}
# name: scenario, steps, the earlier-state file at the end (None: none), and
# what else the case sets up.
CASES = {
    "written-then-uninstalled": dict(
        scenario="examples/written-region-1.json",
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")]),
               step("uninstall", "Uninstalled", 0, None, {},
                    notes=["---- 0007: EDCCAEnable removed, as it was absent"])],
        state=None),
    # The x64 probe fails at every version query: its text, with no line
    # feed, stands before the region line.
    "written-while-the-probe-fails": dict(
        scenario="tests/scenarios/no-processor-architecture.json",
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")])],
        state="0007 absent\r\n"),
    "declined": dict(
        scenario="examples/declined-region-2.json",
        steps=[step("install", "Declined", 0, "Declined", {}, cmd="32")],
        state=None),
    "no-adapter-without-programdata": dict(
        scenario="examples/exhausted-no-adapter.json",
        steps=[step("install", "NoAdapter", 1618, None, {})],
        state=None, no_programdata=True),
    "no-decision": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("install", "NoDecision", 1618, None, {})],
        state=None),
    "write-failed": dict(
        scenario="tests/scenarios/driver-key-missing.json",
        steps=[step("install", "WriteFailed", 1603, None, {})],
        state=None),
    "two-adapters-second-written-then-restored": dict(
        scenario="tests/scenarios/two-adapters-first-off.json",
        steps=[step("install", "Written", 0, "Written", {"0007": "REG_SZ 0", "0011": "REG_SZ 1"},
                    notes=[kept("0011", "absent")]),
               step("uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"},
                    notes=["---- 0011: EDCCAEnable removed, as it was absent"])],
        state=None),
    "overwrite-run-twice-then-restored": dict(
        scenario="examples/win7-x86-overwrite.json",
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, cmd="32", notes=[kept("0007", "REG_SZ 0")]),
               step("install", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"}, cmd="32",
                    notes=["---- 0007: EDCCAEnable restored to REG_SZ 0"])],
        state=None, state_after_second_step="0007 REG_SZ 0\r\n"),
    "two-runs-at-once": dict(
        scenario="examples/written-region-1.json",
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007)] * 2,
        state="0007 absent\r\n", at_once=True, note=r"(, waited \d+ s for another run)?"),
    "lock-held-by-another-run": dict(
        scenario="examples/written-region-1.json",
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007)],
        state="0007 absent\r\n", lock="released", note=r", waited \d+ s for another run"),
    "lock-left-behind": dict(
        scenario="examples/written-region-1.json",
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007)],
        state="0007 absent\r\n", lock="stale", note=", took over a lock left for 2 s"),
    # An earlier record that cannot be put back, and one for a driver key
    # that is gone: the run keeps the first, /uninstall keeps it and the
    # marker, and creates no key.
    "uninstall-cannot-restore": dict(
        scenario="examples/written-region-1.json",
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("uninstall", "UninstallFailed", 1603, "Written", WRITTEN_0007,
                    notes=["---- 0007: EDCCAEnable could not be restored to REG_BINARY zz",
                           "---- 0099: the driver key is gone; nothing to restore"])],
        state="0007 REG_BINARY zz\r\n0099 REG_SZ 0\r\n", earlier_state="0007 REG_BINARY zz\r\n0099 REG_SZ 0\r\n"),
    "program-missing": dict(
        scenario="examples/written-region-1.json",
        steps=[step("install", "ProgramMissing", 1603, None, {})],
        state=None, remove_program=True),
    "program-does-not-start": dict(
        scenario="examples/written-region-1.json",
        steps=[step("install", "ProgramMissing", 1603, None, {})],
        state=None, break_program=True),
    "log-past-its-bound": dict(
        scenario="examples/declined-region-9.json",
        steps=[step("install", "Declined", 0, "Declined", {})],
        state=None, full_log=True),
}

HEADER = re.compile(r"==== (?P<time>.+), (?P<computer>[^,]+), kit (?P<kit>[^:]+): (?P<outcome>\w+), "
                    r"exit code (?P<code>\d+)(?P<note>.*)$")


def records(log):
    """The log's records: lists of lines, each beginning with its header."""
    found = []
    for line in log.split("\r\n")[:-1]:
        if line.startswith("==== ") or not found:
            found.append([])
        found[-1].append(line)
    return found


def registry_state(session):
    """The marker's values {name: text} (None: no marker) and every
    EDCCAEnable of the network class {instance: "TYPE DATA"}, as regedit
    exports them."""
    def text(value):
        return value[1].rstrip(b"\0").decode("latin-1")
    marker = wine_observation.export_tree(session.prefix, MARKER, session.work_dir)
    marker = next((values for key, values in marker.items() if key.upper() == MARKER.upper()), None)
    values = {key.rsplit("\\", 1)[1]: "%s %s" % ({1: "REG_SZ"}.get(value[0], "type %d" % value[0]), text(value))
              for key, keys in wine_observation.export_tree(session.prefix, CLASS, session.work_dir).items()
              for name, value in keys.items() if name == "EDCCAEnable"}
    return None if marker is None else {name: text(value) for name, value in marker.items()}, values


def expected_trace(path):
    """The program's output the scenario fixes, CR LF as msvcrt writes it."""
    with open(path) as f:
        stdout = json.load(f)["expect"]["stdout"]
    return "".join(stdout).replace("\n", "\r\n")


def read(path):
    if os.path.exists(path):
        with open(path, "rb") as f:
            return f.read().decode("latin-1")


def write(path, text):
    with open(path, "w", newline="") as f:
        f.write(text)


def start(session, folder, case, number, action):
    """Starts one step: edcca.cmd by cmd /c, as deployment tools do; the exit
    code cmd returns is kept in code-N.txt (Wine's own exit status holds only
    its low 8 bits). A scenario's machine holds only the environment keys the
    scenario gives: the search path every Windows has is set here."""
    lines = ["@echo off", "set PATH=C:\\windows\\system32;C:\\windows", "set PATHEXT=.COM;.EXE;.BAT;.CMD"]
    lines += ["set ProgramData="] if case.get("no_programdata") else []
    lines += ["set EDCCA_LOCK_WAIT=2"] if case.get("lock") == "stale" else []
    lines += ['cmd /c "C:\\%s\\edcca.cmd"%s' % (folder, " /uninstall" if action["command"] == "uninstall" else ""),
              ">C:\\kit\\code-%d.txt echo %%errorlevel%%" % number]
    write(os.path.join(session.prefix, "drive_c", "kit", "step-%d.cmd" % number), "\r\n".join(lines) + "\r\n")
    cmd = "C:\\windows\\syswow64\\cmd.exe" if action["cmd"] == "32" else "cmd"
    return subprocess.Popen(["wine", cmd, "/c", "C:\\kit\\step-%d.cmd" % number],
                            env=wine_prefix.wine_environment(session.prefix),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_case(cache, package, name):
    case = CASES[name]
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
        drive_c = os.path.join(session.prefix, "drive_c")
        kit = os.path.join(drive_c, "kit")
        os.makedirs(kit)
        with zipfile.ZipFile(package) as z:
            z.extractall(drive_c)
            folder = z.namelist()[0].rstrip("/")
        data = os.path.join(drive_c, "ProgramData", *(["Application Data"] if case.get("no_programdata") else []),
                            "EdccaProvision")
        os.makedirs(data)
        earlier = EARLIER + ("x" * (LOG_BOUND - len(EARLIER) - 2) + "\r\n" if case.get("full_log") else "")
        write(os.path.join(data, "log.txt"), earlier)
        if case.get("earlier_state"):
            write(os.path.join(data, "earlier-state.txt"), case["earlier_state"])
        program = os.path.join(drive_c, folder, "EdccaProvision.exe")
        if case.get("remove_program"):
            os.remove(program)
        if case.get("break_program"):
            write(program, "not a program\r\n")
        if case.get("lock"):
            os.mkdir(os.path.join(data, "lock"))

        seen = 0
        steps = list(enumerate(case["steps"]))
        for group in [steps] if case.get("at_once") else [[step] for step in steps]:
            started = [start(session, folder, case, n, s) for n, s in group]
            if case.get("lock") == "released":
                time.sleep(3)
                check("waits while the lock is held", records(read(os.path.join(data, "log.txt")))[-1][0] ==
                      EARLIER.split("\r\n")[0], "a record was written while the lock was held")
                os.rmdir(os.path.join(data, "lock"))
            for process in started:
                process.wait(timeout=300)
            marker, values = registry_state(session)
            new = [r for r in records(read(os.path.join(data, "log.txt")) or "") if r[0] != EARLIER.split("\r\n")[0]]
            new = new[seen:] if not case.get("full_log") else new
            seen += len(group)
            check("one record per run (%d)" % len(group), len(new) == len(group), "%d new records" % len(new))
            for (number, action), record in zip(group, new):
                label = "step %d (%s, %s-bit cmd)" % (number + 1, action["command"], action["cmd"])
                code = (read(os.path.join(kit, "code-%d.txt" % number)) or "").strip()
                check("%s: exit code %d" % (label, action["code"]), code == str(action["code"]), "got %s" % code)
                header = HEADER.match(record[0])
                check("%s: record header" % label, bool(header), record[0])
                if not header:
                    continue
                check("%s: outcome %s, kit %s, code in the header" % (label, action["outcome"], version),
                      (header["outcome"], header["kit"], header["code"]) ==
                      (action["outcome"], version, str(action["code"])), record[0])
                check("%s: header note" % label, re.fullmatch(case.get("note", ""), header["note"]) is not None,
                      repr(header["note"]))
                notes = [line for line in record[1:] if line.startswith("---- ")]
                if action["notes"] is not None:
                    check("%s: notes %s" % (label, action["notes"]), notes == action["notes"], "%r" % notes)
                body = "".join(line + "\r\n" for line in record[1:] if not line.startswith("---- "))
                if action["outcome"] == "ProgramMissing":
                    check("%s: says where the program was looked for" % label,
                          any("looked for: C:\\%s\\EdccaProvision.exe" % folder in line for line in record),
                          "\n".join(record))
                elif action["command"] == "install":
                    check("%s: the trace, byte for byte" % label, body == trace,
                          "%r... (%d bytes)" % (body[:200], len(body)))
                if action["marker"] and action["command"] == "install" and not case.get("at_once"):
                    check("%s: marker's time is the run's" % label,
                          marker is not None and marker.get("Time") == header["time"], "%r" % marker)
            number, last = group[-1]
            wanted = None if last["marker"] is None else {"Outcome": last["marker"], "Version": version}
            got = None if marker is None else {k: marker.get(k) for k in ("Outcome", "Version")}
            check("marker after step %d: %s" % (number + 1, wanted), got == wanted, "%r" % marker)
            check("EDCCAEnable values after step %d: %s" % (number + 1, last["values"]), values == last["values"],
                  "%r" % values)
            if case.get("state_after_second_step") and number == 1:
                state = read(os.path.join(data, "earlier-state.txt"))
                check("earlier state after the second run", state == case["state_after_second_step"], repr(state))

        log = read(os.path.join(data, "log.txt")) or ""
        if case.get("full_log"):
            rotated = read(os.path.join(data, "log.1.txt"))
            check("the full log moved to log.1.txt whole", rotated == earlier, "%r" % (rotated or "")[:100])
            check("log.txt begins anew with the run's record", log.startswith("==== ") and len(log) < 4096,
                  "%d bytes: %r" % (len(log), log[:100]))
        else:
            check("the earlier record kept at the log's start", log.startswith(EARLIER), repr(log[:100]))
        state = read(os.path.join(data, "earlier-state.txt"))
        check("earlier state %r" % case["state"], state == case["state"], repr(state))
        left = sorted(set(os.listdir(data)) - {"log.txt", "log.1.txt", "earlier-state.txt"})
        check("nothing else left in the log folder", not left, ", ".join(left))
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"))
    parser.add_argument("--zip")
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
        return run_case(args.cache, os.path.abspath(args.zip), args.case)
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP


if __name__ == "__main__":
    sys.exit(main())
