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
byte the scenario's expected output where that is fixed), the detection
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

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import wine_machine  # noqa: E402
import wine_prefix  # noqa: E402
import wine_runner  # noqa: E402

CLASS = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
MARKER = "HKLM\\SYSTEM\\EdccaProvision"
EARLIER = "==== earlier record of another run\r\nits trace\r\n"
LOG_BOUND = 1048576


def example(name):
    return os.path.join(ROOT, "examples", name)


def scenario(name):
    return os.path.join(ROOT, "tests", "scenarios", name)


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
        scenario=example("written-region-1.json"),
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")]),
               step("uninstall", "Uninstalled", 0, None, {},
                    notes=["---- 0007: EDCCAEnable removed, as it was absent"])],
        state=None),
    # The x64 probe fails at every version query: its text, with no line
    # feed, stands before the region line.
    "written-while-the-probe-fails": dict(
        scenario=scenario("no-processor-architecture.json"),
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")])],
        state="0007 absent\r\n"),
    "declined": dict(
        scenario=example("declined-region-2.json"),
        steps=[step("install", "Declined", 0, "Declined", {}, cmd="32")],
        state=None),
    "no-adapter-without-programdata": dict(
        scenario=example("exhausted-no-adapter.json"),
        steps=[step("install", "NoAdapter", 1618, None, {})],
        state=None, no_programdata=True),
    "no-decision": dict(
        scenario=example("exhausted-region-3.json"),
        steps=[step("install", "NoDecision", 1618, None, {})],
        state=None),
    "write-failed": dict(
        scenario=scenario("driver-key-missing.json"),
        steps=[step("install", "WriteFailed", 1603, None, {})],
        state=None),
    "two-adapters-second-written-then-restored": dict(
        scenario=scenario("two-adapters-first-off.json"),
        steps=[step("install", "Written", 0, "Written", {"0007": "REG_SZ 0", "0011": "REG_SZ 1"},
                    notes=[kept("0011", "absent")]),
               step("uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"},
                    notes=["---- 0011: EDCCAEnable removed, as it was absent"])],
        state=None),
    "overwrite-run-twice-then-restored": dict(
        scenario=example("win7-x86-overwrite.json"),
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, cmd="32", notes=[kept("0007", "REG_SZ 0")]),
               step("install", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"}, cmd="32",
                    notes=["---- 0007: EDCCAEnable restored to REG_SZ 0"])],
        state=None, state_after_second_step="0007 REG_SZ 0\r\n"),
    "two-runs-at-once": dict(
        scenario=example("written-region-1.json"),
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007)] * 2,
        state="0007 absent\r\n", at_once=True, note=r"(, waited \d+ s for another run)?"),
    "lock-held-by-another-run": dict(
        scenario=example("written-region-1.json"),
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007)],
        state="0007 absent\r\n", lock="released", note=r", waited \d+ s for another run"),
    "lock-left-behind": dict(
        scenario=example("written-region-1.json"),
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007)],
        state="0007 absent\r\n", lock="stale", note=", took over a lock left for 2 s"),
    # An earlier record that cannot be put back, and one for a driver key
    # that is gone: the run keeps the first, /uninstall keeps it and the
    # marker, and creates no key.
    "uninstall-cannot-restore": dict(
        scenario=example("written-region-1.json"),
        steps=[step("install", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("uninstall", "UninstallFailed", 1603, "Written", WRITTEN_0007,
                    notes=["---- 0007: EDCCAEnable could not be restored to REG_BINARY zz",
                           "---- 0099: the driver key is gone; nothing to restore"])],
        state="0007 REG_BINARY zz\r\n0099 REG_SZ 0\r\n", earlier_state="0007 REG_BINARY zz\r\n0099 REG_SZ 0\r\n"),
    "program-missing": dict(
        scenario=example("written-region-1.json"),
        steps=[step("install", "ProgramMissing", 1603, None, {})],
        state=None, remove_program=True),
    "program-does-not-start": dict(
        scenario=example("written-region-1.json"),
        steps=[step("install", "ProgramMissing", 1603, None, {})],
        state=None, break_program=True),
    "log-past-its-bound": dict(
        scenario=example("declined-region-9.json"),
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


def reg_values(text):
    """{instance: "TYPE DATA"} from `reg query CLASS /s /v EDCCAEnable`."""
    values, instance = {}, None
    for line in text.splitlines():
        if line.startswith("HKEY_"):
            instance = line.rsplit("\\", 1)[1]
        elif line.strip().startswith("EDCCAEnable"):
            parts = line.split(None, 2)
            values[instance] = " ".join(parts[1:])
    return values


def reg_marker(text):
    """The marker key's values {name: data}, or None when it is missing."""
    if "HKEY_LOCAL_MACHINE\\SYSTEM\\EdccaProvision" not in text:
        return None
    return {p[0]: p[2] if len(p) > 2 else "" for p in (line.split(None, 2) for line in text.splitlines()
                                                       if line.startswith("    "))}


def expected_trace(path):
    """The program's output the scenario fixes (CR LF, as msvcrt writes it),
    or None for a timed scenario, whose attempts may come late."""
    with open(path) as f:
        expect = json.load(f)["expect"]
    stdout = expect["stdout"] if isinstance(expect["stdout"], str) else "".join(expect["stdout"])
    return stdout.replace("\n", "\r\n")


class Machine:
    """A fresh Wine machine of the scenario with the package unpacked."""

    def __init__(self, session, package, case):
        self.session, self.case = session, case
        self.drive_c = os.path.join(session.prefix, "drive_c")
        self.kit = os.path.join(self.drive_c, "kit")
        os.makedirs(self.kit)
        with zipfile.ZipFile(package) as z:
            z.extractall(self.drive_c)
            self.folder = z.namelist()[0].rstrip("/")
        self.data = os.path.join(self.drive_c, "ProgramData", *(["Application Data"] if case.get("no_programdata")
                                                                 else []), "EdccaProvision")
        self.log = os.path.join(self.data, "log.txt")

    def batch(self, name, lines):
        # A scenario's machine holds only the environment keys the scenario
        # gives: the search path every Windows has is set here.
        with open(os.path.join(self.kit, name), "w", newline="\r\n") as f:
            f.write("\n".join(["@echo off", "set PATH=C:\\windows\\system32;C:\\windows",
                               "set PATHEXT=.COM;.EXE;.BAT;.CMD"] + lines) + "\n")
        return "C:\\kit\\" + name

    def start(self, number, action):
        """Starts one step: edcca.cmd by cmd /c, as deployment tools do; the
        exit code cmd returns is kept in code-N.txt (Wine's own exit status
        holds only its low 8 bits)."""
        lines = []
        if self.case.get("no_programdata"):
            lines.append("set ProgramData=")
        if self.case.get("lock") == "stale":
            lines.append("set EDCCA_LOCK_WAIT=2")
        argument = " /uninstall" if action["command"] == "uninstall" else ""
        lines += ['cmd /c "C:\\%s\\edcca.cmd"%s' % (self.folder, argument),
                  ">C:\\kit\\code-%d.txt echo %%errorlevel%%" % number]
        cmd = "C:\\windows\\syswow64\\cmd.exe" if action["cmd"] == "32" else "cmd"
        return subprocess.Popen(["wine", cmd, "/c", self.batch("step-%d.cmd" % number, lines)],
                                env=wine_prefix.wine_environment(self.session.prefix),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def query(self, number):
        """The marker and the EDCCAEnable values, as the 64-bit reg sees them."""
        script = self.batch("query-%d.cmd" % number, [
            'reg query "%s" > C:\\kit\\marker-%d.txt 2>&1' % (MARKER, number),
            'reg query "%s" /s /v EDCCAEnable > C:\\kit\\values-%d.txt 2>&1' % (CLASS, number)])
        wine_prefix.wine(self.session.prefix, "cmd", "/c", script, check=False)
        return (reg_marker(self.read("marker-%d.txt" % number)), reg_values(self.read("values-%d.txt" % number)))

    def read(self, name, folder=None):
        path = os.path.join(folder or self.kit, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read().decode("latin-1")


def run_case(cache, package, name):
    case = CASES[name]
    machine_scenario = wine_machine.translate_sim_scenario(case["scenario"])
    trace = expected_trace(case["scenario"])
    version = re.search(r"EdccaProvision-(.+)-win32\.zip$", package).group(1)
    failures = []

    def check(what, ok, detail=""):
        print("%s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else ": " + detail))
        if not ok:
            failures.append(what)

    work_dir = os.path.join(cache, "runs", "kit-%s-%d" % (name, os.getpid()))
    with wine_prefix.Session(wine_runner.template(cache), work_dir) as session:
        wine_runner.set_up_machine(session, machine_scenario, "EdccaProvision.exe", machine_scenario["windows"])
        machine = Machine(session, package, case)
        os.makedirs(machine.data)
        earlier = EARLIER
        if case.get("full_log"):
            earlier += "x" * (LOG_BOUND - len(earlier) - 2) + "\r\n"
        with open(machine.log, "w", newline="") as f:
            f.write(earlier)
        if case.get("earlier_state"):
            with open(os.path.join(machine.data, "earlier-state.txt"), "w", newline="") as f:
                f.write(case["earlier_state"])
        program = os.path.join(machine.drive_c, machine.folder, "EdccaProvision.exe")
        if case.get("remove_program"):
            os.remove(program)
        if case.get("break_program"):
            with open(program, "wb") as f:
                f.write(b"not a program\r\n")
        lock = os.path.join(machine.data, "lock")
        if case.get("lock"):
            os.mkdir(lock)

        steps = case["steps"]
        seen = 0
        groups = [list(enumerate(steps))] if case.get("at_once") else [[(n, s)] for n, s in enumerate(steps)]
        for group in groups:
            started = [machine.start(n, s) for n, s in group]
            if case.get("lock") == "released":
                time.sleep(3)
                check("waits while the lock is held", records(machine.read("log.txt", machine.data))[-1][0] ==
                      EARLIER.split("\r\n")[0], "a record was written while the lock was held")
                os.rmdir(lock)
            for process in started:
                process.wait(timeout=300)
            marker, values = machine.query(group[-1][0])
            log = machine.read("log.txt", machine.data) or ""
            new = [r for r in records(log) if r[0] != EARLIER.split("\r\n")[0]]
            new = new[seen:] if not case.get("full_log") else new
            seen += len(group)
            check("one record per run (%d)" % len(group), len(new) == len(group), "%d new records" % len(new))
            for (number, action), record in zip(group, new):
                label = "step %d (%s, %s-bit cmd)" % (number + 1, action["command"], action["cmd"])
                code = (machine.read("code-%d.txt" % number) or "").strip()
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
                if action["command"] == "install" and action["outcome"] != "ProgramMissing":
                    check("%s: the trace, byte for byte" % label, body == trace,
                          "%r... (%d bytes)" % (body[:200], len(body)))
                if action["outcome"] == "ProgramMissing":
                    check("%s: says where the program was looked for" % label,
                          any("looked for: C:\\%s\\EdccaProvision.exe" % machine.folder in line for line in record),
                          "\n".join(record))
                if action["marker"] and action["command"] == "install" and not case.get("at_once"):
                    check("%s: marker's time is the run's" % label,
                          marker is not None and marker.get("Time") == header["time"], "%r" % marker)
            last = group[-1][1]
            wanted = None if last["marker"] is None else {"Outcome": last["marker"], "Version": version}
            got = None if marker is None else {k: marker.get(k) for k in ("Outcome", "Version")}
            check("marker after step %d: %s" % (group[-1][0] + 1, wanted), got == wanted, "%r" % marker)
            check("EDCCAEnable values after step %d: %s" % (group[-1][0] + 1, last["values"]),
                  values == last["values"], "%r" % values)
            if case.get("state_after_second_step") and group[-1][0] == 1:
                state = machine.read("earlier-state.txt", machine.data)
                check("earlier state after the second run", state == case["state_after_second_step"], repr(state))

        log = machine.read("log.txt", machine.data) or ""
        if case.get("full_log"):
            rotated = machine.read("log.1.txt", machine.data)
            check("the full log moved to log.1.txt whole", rotated == earlier, "%r" % (rotated or "")[:100])
            check("log.txt begins anew with the run's record", log.startswith("==== ") and len(log) < 4096,
                  "%d bytes: %r" % (len(log), log[:100]))
        else:
            check("the earlier record kept at the log's start", log.startswith(EARLIER), repr(log[:100]))
        state = machine.read("earlier-state.txt", machine.data)
        check("earlier state %r" % case["state"], state == case["state"], repr(state))
        left = sorted(set(os.listdir(machine.data)) - {"log.txt", "log.1.txt", "earlier-state.txt"})
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
        wine_prefix.require("wine")
        return run_case(args.cache, os.path.abspath(args.zip), args.case)
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP


if __name__ == "__main__":
    sys.exit(main())
