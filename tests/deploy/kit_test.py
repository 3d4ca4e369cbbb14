#!/usr/bin/env python3
"""kit_test.py - the package's kit (edcca.cmd, the launcher, and EdccaKit.exe,
which does the work) run under Wine on the machines that scenarios describe
(set up by the Wine runner, tests/wine), one case per row of CASES.

    kit_test.py --cache DIR --zip EdccaProvision-<version>-win32.zip --programs DIR CASE
    kit_test.py --list

Each case unpacks the package into C:\\ of a fresh machine, leaves an earlier
record in the log, plants what the case plants, and runs its steps (edcca.cmd
by the 64-bit or the 32-bit cmd, as Intune's agent starts it). After each
step it checks what step() gives: the exit code; the record logged (header,
notes, the trace byte for byte the scenario's) or the lines printed; the
detection marker; every EDCCAEnable of the network class; and the collections
(each one's trace the record's, its replay by edcca-sim --replay the run's).
At the end: the earlier record kept, the rollback records, and that nothing
planted ran or was written through.
Exits 77 (skipped) where Wine or mounting is missing.
"""

import argparse
import contextlib
import json
import os
import re
import signal
import shutil
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
LOG_FOLDER = "C:\\windows\\Logs\\EdccaProvision"
EARLIER = "==== earlier record of another run\r\nits trace\r\n"
LOG_BOUND = 1048576
PROGRAM_TIME = 30  # seconds EdccaKit.exe gives the program
STEP_TIME = 150  # seconds a step may take: the program's time, the lock's wait (60 s) and Wine's start


def step(command, outcome, code, marker, values, cmd="64", notes=None, before=None, out=None, ran=None,
         options="", note=""):
    """One run of edcca.cmd with command as its arguments ("": none); what it
    must return and leave. outcome: the record's (None: no record); marker:
    the marker's Outcome (or {value: data} of those checked), None for no
    marker; values: every EDCCAEnable of the network class afterwards,
    {instance: "TYPE DATA"}; notes: the record's "---- " lines, when given
    (a compiled pattern matches a whole line); out: the lines it prints, when
    given; ran: whether the program ran (default: from the outcome); before:
    what is done to the machine first ("remove program", "break program",
    "reset value"); options: cmd's own options ("/V:ON"); note: a pattern
    of what the record's header says after its exit code."""
    return {"command": command, "outcome": outcome, "code": code, "marker": marker, "values": values, "cmd": cmd,
            "notes": notes, "before": before, "out": out, "ran": ran, "options": options, "note": note}


def kept(instance, earlier, source="kept for /uninstall"):
    return "---- %s: EDCCAEnable before the first run: %s (%s)" % (instance, earlier, source)


def unsafe(path):
    return "---- %s is a link or has other links: nothing was done" % path


WRITTEN_0007 = {"0007": "REG_SZ 1"}
COLLECTED = "---- what the program saw is collected in " + LOG_FOLDER + "\\collection"
NEVER_INSTALLED = "---- no network device USB\\VID_13B1&PID_003B was ever installed: nothing to do"
# What the launcher says when it refuses a folder too long for cmd (Wine's
# cmd gives it none) or for a program to start.
LAUNCHER_REFUSES = re.compile(r'edcca\.cmd: (cmd gave no folder for it \(.*\)|the path ".*" is longer than 258 '
                              r'characters): nothing was run')
USAGE = "edcca.cmd 2.0.0 - EdccaProvision.exe for deployment, run as SYSTEM"
STATUS_ALL_HOLD = "Every present adapter's driver key holds EDCCAEnable = 1."
STATUS_NEVER = "No network device USB\\VID_13B1&PID_003B was ever installed: nothing to provision."
MISSING = re.compile(r'---- EdccaProvision\.exe did not run \(error \d+\); looked for: ".*"')


def lacking(n, m):
    return "%d of %d present adapters' driver keys lack EDCCAEnable = 1: run edcca.cmd." % (n, m)


# The kit 1.0.0 left its marker, its log and its state file in %ProgramData%,
# and the "1" it wrote.
KIT_100 = dict(earlier_marker={"Outcome": "Written", "Version": "1.0.0", "Time": "12/01/2026 10:00:00.00"},
               earlier_values={"0007": "1"})
# A state file a standard user planted in kit 1.0.0's folder: records for
# the adapter, another adapter and the Ethernet adapter, and a line that
# would run a command if the kit ever expanded it.
PLANTED = "0007 absent\r\n0007 REG_SZ x\r\n0001 REG_SZ x\r\n0011 absent\r\n0007 absent\"&echo planted>C:\\planted.txt&\"\r\n"
# An EDCCAEnable a standard user could not set but a careless script could:
# every character cmd treats specially, and a command if it were expanded.
HOSTILE_VALUE = '0" & echo x>C:\\planted.txt & rem "%COMPUTERNAME% 100%!'
# Kit folders past MAX_PATH: one whose own path is (C:\, 4 x 61 and 18
# characters: 266), and the longest the launcher takes (246 characters with
# both backslashes), where EdccaKit.exe's path fits and the program's beside
# it (264) does not.
LONG_FOLDER = "\\".join(["k" * 60] * 4) + "\\EdccaProvision-kit"
LIMIT_FOLDER = "\\".join(["k" * 60] * 3 + ["k" * 59])
# What endless_program.exe, which never ends, writes.
ENDLESS_TRACE = "--> DetectAdapter()\r\n"

# name: scenario (default: examples/written-region-1.json), steps, the
# rollback records at the end ({instance: "TYPE DATA"}; None, the default:
# no record key), and what else the case sets up.
CASES = {
    "written-then-uninstalled": dict(
        steps=[step("", "Written", 0, {"Outcome": "Written", "Adapters": "1", "DriverKeys": "0007"},
                    WRITTEN_0007, notes=[kept("0007", "absent")]),
               step("/uninstall", "Uninstalled", 0, None, {},
                    notes=["---- 0007: EDCCAEnable removed, as it was absent"])]),
    # The x64 probe fails at every version query: its text, with no line
    # feed, stands before the region line.
    "written-while-the-probe-fails": dict(
        scenario="tests/scenarios/no-processor-architecture.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")])],
        rollback={"0007": "absent"}),
    "declined": dict(
        scenario="examples/declined-region-2.json",
        steps=[step("", "Declined", 0, {"Outcome": "Declined", "DriverKeys": ""}, {}, cmd="32", notes=[])]),
    # Installed, but its driver never loads: the program finds no adapter.
    "no-adapter-installed-but-not-found": dict(
        scenario="examples/driver-not-loaded.json",
        steps=[step("", "NoAdapter", 1618, None, {}, notes=[COLLECTED]),
               step("/status", None, 3, None, {}, out=["0007: EDCCAEnable absent", lacking(1, 1)])]),
    # No device of the adapter's ID was ever installed: nothing runs, nothing
    # is collected, even when asked, and no marker is left.
    "not-applicable": dict(
        scenario="examples/exhausted-no-adapter.json",
        steps=[step("", "NotApplicable", 0, None, {}, notes=[NEVER_INSTALLED]),
               step("/collect", "NotApplicable", 0, None, {}, cmd="32", notes=[NEVER_INSTALLED]),
               step("/status", None, 5, None, {}, out=[STATUS_NEVER])]),
    # As in a fresh prefix: no Net class key at all.
    "not-applicable-without-a-net-class": dict(
        scenario="tests/scenarios/no-net-class.json",
        steps=[step("/status", None, 5, None, {}, out=[STATUS_NEVER]),
               step("", "NotApplicable", 0, None, {}, notes=[NEVER_INSTALLED])]),
    "no-decision": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("", "NoDecision", 1618, None, {}, notes=[COLLECTED])]),
    # The driver key denies writing (its DACL): the trace is the one of the
    # scenario that makes opening it fail, and the collection says so.
    "write-failed": dict(
        steps=[step("", "WriteFailed", 1603, None, {}, notes=[COLLECTED])],
        trace_of="examples/driver-key-access-denied.json", driver_key_read_only="0007",
        facts=[re.compile(r"DriverKey=\{4D36E972-E325-11CE-BFC1-08002BE10318\}\\0007 denied 5 \S*", re.I)]),
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
                    notes=["---- 0011: EDCCAEnable removed, as it was absent"])]),
    "two-adapters-second-driver-not-loaded": dict(
        scenario="examples/two-adapters-second-driver-not-loaded.json",
        steps=[step("", "NoDecision", 1618, None, {},
                    notes=['---- 2 adapters are present; the program queries the last one it finds only: '
                           '"0007: EDCCAEnable absent" "0011: EDCCAEnable absent"', COLLECTED])]),
    "overwrite-run-twice-then-restored": dict(
        scenario="examples/win7-x86-overwrite.json",
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, cmd="32", notes=[kept("0007", "REG_SZ 0")]),
               step("", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("/uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"}, cmd="32",
                    notes=["---- 0007: EDCCAEnable restored to REG_SZ 0"])],
        rollback_after_second_step={"0007": "REG_SZ 0"}),
    "two-runs-at-once": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, note=r"(, waited \d+ s for another run)?")] * 2,
        rollback={"0007": "absent"}, at_once=True),
    # The second run starts while the first one's program runs (some 8 s:
    # its driver never loads): it waits for the lock, and says so.
    "waits-while-another-run-holds-the-lock": dict(
        scenario="examples/driver-not-loaded.json",
        steps=[step("", "NoAdapter", 1618, None, {}),
               step("", "NoAdapter", 1618, None, {}, note=r", waited ([2-9]|[1-5]\d) s for another run")],
        at_once=True, one_after_the_other=True),
    # A run ended from outside while it holds the lock: the next run takes
    # the lock at once. The record the ended run wrote ahead stays (and with
    # it the marker's key, without values).
    "holder-killed-mid-run": dict(
        scenario="examples/driver-not-loaded.json",
        steps=[step("", None, None, {}, {}, before="end the kit"),
               step("", "NoAdapter", 1618, {}, {}, notes=[COLLECTED])],
        rollback={"0007": "absent"}),
    # A record that cannot be put back, and one for a driver key that is
    # gone: /uninstall keeps the first and the marker, drops the second, and
    # creates no key.
    "uninstall-cannot-restore": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("/uninstall", "UninstallFailed", 1603, "Written", WRITTEN_0007,
                    notes=["---- 0007: EDCCAEnable could not be restored to REG_BINARY zz",
                           "---- 0099: the driver key is gone; nothing to restore"])],
        rollback={"0007": "REG_BINARY zz"},
        earlier_rollback={"0007": "REG_BINARY zz", "0099": "REG_SZ 0"}),
    # The rollback records' key denies writing: the record ahead cannot be
    # written, so the program never runs; never success. The keys the run
    # did not make stay.
    "marker-read-only": dict(
        steps=[step("", "MarkerFailed", 1603, {}, {}, ran=False,
                    notes=[kept("0007", "absent", "could not be kept: the program did not run")])],
        rollback={}, read_only_key="SYSTEM\\EdccaProvision\\Rollback"),
    # The marker's key denies writing (and holds a key the kit does not
    # know, so that it is not removed and made anew), where the adapter
    # already holds "1": no record is needed, the program runs, and the
    # marker cannot be written after it.
    "marker-read-only-after-the-run": dict(
        steps=[step("", "MarkerFailed", 1603, {}, WRITTEN_0007,
                    notes=["---- the marker HKLM\\SYSTEM\\EdccaProvision could not be written whole (Written)",
                           COLLECTED])],
        read_only_key="SYSTEM\\EdccaProvision", earlier_values={"0007": "1"},
        marker_subkey="Planted"),
    "program-missing": dict(
        steps=[step("", "ProgramMissing", 1603, None, {}, before="remove program", notes=[MISSING])]),
    "program-does-not-start": dict(
        steps=[step("", "ProgramMissing", 1603, None, {}, before="break program", notes=[MISSING])]),
    # A program that never ends is ended after its time; what it wrote is
    # kept, and the record written ahead goes (its value did not change).
    "program-never-ends": dict(
        steps=[step("", "ProgramTimedOut", 1603, None, {},
                    notes=["---- EdccaProvision.exe did not end within 30 s and was ended", COLLECTED])],
        endless_program=True, trace=ENDLESS_TRACE, replayed=None),
    "log-past-its-bound": dict(
        scenario="examples/declined-region-9.json",
        steps=[step("", "Declined", 0, "Declined", {})],
        full_log=True),
    # The system drive is full: the log cannot grow. Either the run changes
    # nothing, or it decides, keeps its record and names the log it could
    # not write in the marker.
    "system-drive-full": dict(
        steps=[step("", None, None, None, None)],
        full_drive=True),
    # Every command by its full path: commands of the same names first in
    # PATH are never run.
    "hostile-commands-first-in-path": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")]),
               step("/uninstall", "Uninstalled", 0, None, {})],
        hostile_path=True),
    # An EDCCAEnable holding what cmd would run: it is text to the kit,
    # shown, recorded and put back byte for byte.
    "edccaenable-holding-cmd-syntax": dict(
        steps=[step("/status", None, 3, None, {"0007": "REG_SZ " + HOSTILE_VALUE},
                    out=["0007: EDCCAEnable REG_SZ " + HOSTILE_VALUE, lacking(1, 1)]),
               step("", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "REG_SZ " + HOSTILE_VALUE)]),
               step("/uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ " + HOSTILE_VALUE},
                    notes=["---- 0007: EDCCAEnable restored to REG_SZ " + HOSTILE_VALUE])],
        earlier_values={"0007": HOSTILE_VALUE}, exact_values={"0007": HOSTILE_VALUE}),
    # An administrator set the "1" by hand; the kit 1.0.0 never ran: the
    # planted records are ignored, and /uninstall leaves the "1".
    "planted-state-file-ignored": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("/uninstall", "Uninstalled", 0, None, WRITTEN_0007, notes=[])],
        old_state=PLANTED, earlier_values={"0007": "1"}),
    # Kit 1.0.0 wrote "1" where there was none, and a user planted lines
    # beside its record: kit 1.0.0's records are never read, so /uninstall
    # leaves the "1".
    "upgrade-from-1.0.0-then-uninstalled": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[]),
               step("/uninstall", "Uninstalled", 0, None, WRITTEN_0007, notes=[])],
        old_state=PLANTED, **KIT_100),
    # Kit 1.0.0's marker, and a state file that would put back "absent" or
    # "x": the value the kit finds ("0") is recorded and put back.
    "planted-state-file-ignored-after-1.0.0": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "REG_SZ 0")]),
               step("/uninstall", "Uninstalled", 0, None, {"0007": "REG_SZ 0"},
                    notes=["---- 0007: EDCCAEnable restored to REG_SZ 0"])],
        old_state=PLANTED, earlier_marker=KIT_100["earlier_marker"], earlier_values={"0007": "0"}),
    "planted-link-for-the-log-folder": dict(
        steps=[step("", "UnsafeFolder", 1603, None, {}, notes=[unsafe(LOG_FOLDER)])],
        planted_link="."),
    # %SystemRoot%\Logs itself a link: the folder on the way is refused too.
    "planted-link-for-the-logs-parent": dict(
        steps=[step("", "UnsafeFolder", 1603, None, {}, notes=[unsafe(LOG_FOLDER.rsplit("\\", 1)[0])])],
        planted_link=".."),
    # A collection's folder that would be removed, a link to a folder
    # holding a file: refused before anything is removed through it.
    "planted-link-for-a-collection": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("", "UnsafeFolder", 1603, None, {}, notes=[unsafe(LOG_FOLDER + "\\collection.2")])],
        planted_link="collection.2"),
    # log.txt a symbolic link to a file elsewhere (Wine shows it as a plain
    # file: only a handle that reaches another file than its path names
    # tells), or a second name of such a file.
    "planted-symbolic-link-for-the-log": dict(
        steps=[step("", "UnsafeFolder", 1603, None, {}, notes=[unsafe(LOG_FOLDER + "\\log.txt")])],
        planted_log=os.symlink),
    "planted-hard-link-for-the-log": dict(
        steps=[step("", "UnsafeFolder", 1603, None, {}, notes=[unsafe(LOG_FOLDER + "\\log.txt")])],
        planted_log=os.link),
    "usage": dict(
        steps=[step("/?", None, 0, None, {}, out=[USAGE, ...]), step("uninstall", None, 87, None, {}, out=[USAGE, ...]),
               step("-uninstall", None, 87, None, {}), step("/remove", None, 87, None, {}),
               step("/uninstall now", None, 87, None, {})]),
    # An empty first argument is no argument left out: usage, and nothing
    # undone.
    "empty-argument-before-uninstall": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, notes=[kept("0007", "absent")]),
               step('"" /uninstall', None, 87, "Written", WRITTEN_0007)],
        rollback={"0007": "absent"}),
    # A driver reinstall resets the value and leaves the marker: /status
    # tells, the next run writes it again.
    "status-before-and-after-a-reset": dict(
        steps=[step("/status", None, 3, None, {}, out=["0007: EDCCAEnable absent", lacking(1, 1)]),
               step("", "Written", 0, "Written", WRITTEN_0007),
               step("/status", None, 0, "Written", WRITTEN_0007, out=["0007: EDCCAEnable REG_SZ 1", STATUS_ALL_HOLD]),
               step("/status", None, 3, "Written", {}, before="reset value")],
        rollback={"0007": "absent"}),
    # Collections of the machines whose runs did not provision, and of two
    # that did, asked for; every collection is replayed (see run_case).
    # Found, then unplugged (under Wine its instance key goes).
    "collect-device-unplugged": dict(
        scenario="tests/scenarios/device-unplugged.json",
        steps=[step("", "NoDecision", 1618, None, {})]),
    "collect-written": dict(
        steps=[step("/collect", "Written", 0, "Written", WRITTEN_0007)],
        rollback={"0007": "absent"}),
    # One function of a composite USB device: taken as the adapter, and its
    # collection replayed.
    "collect-composite-device": dict(
        scenario="tests/scenarios/composite-interface.json",
        steps=[step("", "NoDecision", 1618, None, {}, notes=[COLLECTED])],
        facts=[re.compile(r"Device=present USB\\VID_13B1&PID_003B&MI_00\\6&2A7F3C1&0&0000 "
                          r"USB\\VID_13B1&PID_003B&MI_00 \{4D36E972-E325-11CE-BFC1-08002BE10318\}\\0009", re.I)]),
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
        replayed=1, edit_facts=(re.compile(r"^Device=present (USB\\VID_13B1&PID_003B\\)", re.M | re.I),
                                   r"Device=absent \1"),
        differs=("<-- GetAvailableAdapters() :  Available adapter number = 1\\n",
                 "GetAvailableAdapters() : No Available Adapter\\n")),
    # Localized machines (Wine's ANSI code page from its locale): the driver
    # key's name in Cyrillic and in Chinese, collected in that code page and
    # replayed as such.
    "collect-cyrillic-1251": dict(
        scenario="tests/deploy/written-cyrillic-1251.json",
        steps=[step("/collect", "Written", 0, "Written", WRITTEN_0007)],
        rollback={"0007": "absent"}, facts=["CodePage=1251"]),
    "collect-chinese-936": dict(
        scenario="tests/deploy/written-chinese-936.json",
        steps=[step("/collect", "Written", 0, "Written", WRITTEN_0007)],
        rollback={"0007": "absent"}, facts=["CodePage=936"]),
    # An export above the bound is left out, and said so: the replay refuses
    # the incomplete collection instead of judging a machine without it.
    "collect-export-too-large": dict(
        scenario="examples/exhausted-region-3.json",
        steps=[step("", "NoDecision", 1618, None, {})],
        large_class_value=True, replayed=2, exported=["enum.reg", "environment.reg"], left_out=True),
    # Characters cmd treats specially in the kit's folder. Not "%": Wine's
    # cmd expands variables again in what %~dp0 gives (Windows' does not).
    "awkward-folder-then-program-missing": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007),
               step("", "ProgramMissing", 1603, "Written", WRITTEN_0007, before="remove program", notes=[MISSING])],
        rollback={"0007": "absent"}, folder="Kit & Tools (new)! \u00c9t\u00e9"),
    # The same folder, with delayed expansion on in the cmd that starts it:
    # its "!" must not be taken for a variable's.
    "awkward-folder-delayed-expansion": dict(
        steps=[step("", "Written", 0, "Written", WRITTEN_0007, options="/V:ON", notes=[kept("0007", "absent")]),
               step("/status", None, 0, "Written", WRITTEN_0007, options="/V:ON",
                    out=["0007: EDCCAEnable REG_SZ 1", STATUS_ALL_HOLD])],
        rollback={"0007": "absent"}, folder="Kit & Tools (new)! \u00c9t\u00e9"),
    # A kit folder past MAX_PATH, run by its full path from another folder
    # holding programs of the kit's names: the launcher refuses, and nothing
    # runs from the working folder. (Wine's cmd gives it no folder there.)
    "long-folder-hostile-working-folder": dict(
        steps=[step("", None, 1603, None, {}, out=[..., LAUNCHER_REFUSES])],
        folder=LONG_FOLDER, hostile_working_folder=True),
    # The longest folder the launcher takes: EdccaKit.exe's own path fits
    # MAX_PATH, the program's beside it does not: not started, and never
    # looked for in the working folder.
    "folder-at-the-launchers-limit-hostile-working-folder": dict(
        steps=[step("", "ProgramMissing", 1603, None, {}, notes=[MISSING])],
        folder=LIMIT_FOLDER, hostile_working_folder=True),
}
HEADER = re.compile(r"==== (?P<time>[^,]+), (?P<computer>[^,]+), kit (?P<kit>[^:]+): (?P<outcome>\w+), "
                    r"exit code (?P<code>\d+)(?P<note>.*)$")
ISO_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
HOSTILE = "@echo %0 %* >>C:\\hijacked.txt\r\n@exit /b 1\r\n"
# Outcomes whose run never started the program, and those that leave a
# collection without /collect.
NOT_RUN = ("UnsafeFolder", "Busy", "NotApplicable", "ProgramMissing")
COLLECTING = ("NoAdapter", "NoDecision", "WriteFailed", "SeveralAdapters", "MarkerFailed", "ProgramTimedOut")
PRINTED = ("UnsafeFolder", "Busy")  # print their record instead of logging it
# edcca-sim --replay's verdict by its exit code, and its cause when a line differs.
REPLAY_VERDICTS = {0: "reproduced", 1: "not reproduced", 2: "cannot replay"}
REPLAY_LINE_DIFFERS = re.compile(r'cause: attempt (\d+), line (\d+) differs: recorded "(.*)", replayed "(.*)"')


def program_ran(action):
    if action["ran"] is not None:
        return action["ran"]
    return action["command"] in ("", "/collect") and action["outcome"] not in (None,) + NOT_RUN


def collects(action):
    """Whether a step leaves a collection: a provisioning run whose program
    ran and that did not provision, or one asked to collect."""
    return program_ran(action) and (action["command"] == "/collect" or action["outcome"] in COLLECTING)


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
    records under it {instance: text} (None: none), every EDCCAEnable of
    the network class {instance: "TYPE DATA"}, as regedit exports them, and
    the same values as (type, bytes)."""
    def text(value):
        return value[1].rstrip(b"\0").decode("latin-1")

    def key(tree, path):
        values = next((v for k, v in tree.items() if k.upper() == path.upper()), None)
        return None if values is None else {name: text(value) for name, value in values.items()}
    marker = wine_observation.export_tree(session.prefix, MARKER, session.work_dir)
    raw = {key.rsplit("\\", 1)[1]: value
           for key, keys in wine_observation.export_tree(session.prefix, CLASS, session.work_dir).items()
           for name, value in keys.items() if name == "EDCCAEnable"}
    values = {instance: "%s %s" % ({1: "REG_SZ"}.get(value[0], "type %d" % value[0]), text(value))
              for instance, value in raw.items()}
    return key(marker, MARKER), key(marker, MARKER + "\\Rollback"), values, raw


def reg_add(session, key, name, data):
    """Sets a REG_SZ value through regedit, which takes any text as it is."""
    session.import_reg(wine_machine.reg_document([(key, [wine_machine.reg_string(name) + "=" +
                                                         wine_machine.reg_string(data)])]), "value.reg")


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


def mount_full_drive(prefix):
    """Makes drive C: a small tmpfs of its own (Wine shows a mount point on
    the way to a file as a link): the prefix's drive_c moves aside, its
    folders and files are bound into the tmpfs but for C:\\windows\\Logs.
    Skips when mounting is not permitted."""
    drive = os.path.join(prefix, "drive_c")
    aside = drive + ".aside"
    os.rename(drive, aside)
    os.makedirs(drive)
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0755", "tmpfs", drive],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        os.rmdir(drive)
        os.rename(aside, drive)
        raise wine_prefix.Skip("cannot mount a tmpfs: %s" % result.stderr.strip())
    os.makedirs(os.path.join(aside, "kit"))  # the steps' files, written whatever the drive holds
    for folder in ("", "windows"):
        for name in os.listdir(os.path.join(aside, folder)):
            source, target = os.path.join(aside, folder, name), os.path.join(drive, folder, name)
            if os.path.isdir(source):
                os.makedirs(target)
            else:
                write(target, "")
            if (folder, name) != ("", "windows") and (folder, name.lower()) != ("windows", "logs"):
                subprocess.run(["mount", "--bind", source, target], check=True)


def unmount_full_drive(prefix):
    """Undoes mount_full_drive, once the session's programs have ended."""
    drive = os.path.join(prefix, "drive_c")
    if os.path.ismount(drive):
        subprocess.run(["umount", "-R", drive], check=False)
        os.rmdir(drive)
        os.rename(drive + ".aside", drive)


def fill_drive(where):
    """Writes a file into where until the file system is full."""
    with open(os.path.join(where, "filler.bin"), "wb", buffering=0) as f:
        for size in (1024, 1):
            with contextlib.suppress(OSError):
                while True:
                    f.write(b"\0" * size)


def kit_processes(prefix, name):
    """The Unix processes of this prefix running the Windows program name."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        with contextlib.suppress(OSError):
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                command = f.read().decode("latin-1")
            with open("/proc/%s/environ" % pid, "rb") as f:
                environment = f.read().decode("latin-1").split("\0")
            if name.lower() in command.lower() and "WINEPREFIX=" + prefix in environment:
                found.append(int(pid))
    return found


def wait_for_program(session, deadline=60):
    """Waits until EdccaProvision.exe runs in the session (the kit then holds
    the lock). Returns whether it did."""
    until = time.monotonic() + deadline
    while time.monotonic() < until:
        if kit_processes(session.prefix, "EdccaProvision.exe"):
            return True
        time.sleep(0.1)
    return False


def start(session, folder, case, number, action):
    """Starts one step: edcca.cmd by cmd /c, as deployment tools do; the exit
    code cmd returns is kept in code-N.txt (Wine's own exit status holds only
    its low 8 bits), its output in out-N.txt. A scenario's machine holds only
    the environment keys the scenario gives: the search path every Windows
    has is set here."""
    # As Intune and Configuration Manager run it: in the kit's folder, by its
    # name; or from a folder of its own, by the full path.
    where, launcher = (("C:\\work", "C:\\%s\\edcca.cmd" % folder) if case.get("hostile_working_folder") else
                       ('"C:\\%s"' % folder.replace("%", "%%"), "edcca.cmd"))
    hostile = "C:\\hostile;" if case.get("hostile_path") else ""
    lines = ["@echo off", "set PATH=%sC:\\windows\\system32;C:\\windows" % hostile, "set PATHEXT=.COM;.EXE;.BAT;.CMD",
             "cd /d " + where, "cmd %s /c %s >C:\\kit\\out-%d.txt 2>&1" % (
                 action["options"], (launcher + " " + action["command"]).rstrip(), number),
             ">C:\\kit\\code-%d.txt echo %%errorlevel%%" % number]
    # cmd reads a batch file in the OEM code page.
    write(os.path.join(session.prefix, "drive_c", "kit", "step-%d.cmd" % number), "\r\n".join(lines) + "\r\n", "cp437")
    cmd = "C:\\windows\\syswow64\\cmd.exe" if action["cmd"] == "32" else "cmd"
    return subprocess.Popen(["wine", cmd, "/c", "C:\\kit\\step-%d.cmd" % number],
                            env=wine_prefix.wine_environment(session.prefix),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def set_up(session, case, programs):
    """The machine as the case has it before its first step: the package
    unpacked, an earlier record in the log, and what the case plants
    (programs: the folder of the test programs). Returns the kit's folder
    name and the log folder."""
    key_acl = os.path.join(programs, "key_acl.exe")
    drive_c = os.path.join(session.prefix, "drive_c")
    os.makedirs(os.path.join(drive_c, "kit"), exist_ok=True)
    with zipfile.ZipFile(case["zip"]) as z:
        z.extractall(drive_c)
        folder = z.namelist()[0].split("/")[0]
    if case.get("folder"):
        os.makedirs(os.path.dirname(os.path.join(drive_c, case["folder"].replace("\\", "/"))), exist_ok=True)
        os.rename(os.path.join(drive_c, folder), os.path.join(drive_c, case["folder"].replace("\\", "/")))
        folder = case["folder"]
    kit = os.path.join(drive_c, folder.replace("\\", "/"))
    data = os.path.join(drive_c, "windows", "logs", "EdccaProvision")
    earlier = EARLIER + ("x" * (LOG_BOUND - len(EARLIER) - 2) + "\r\n" if case.get("full_log") else "")
    if case.get("full_drive"):
        # A log that fills its pages: appending needs space.
        earlier = EARLIER + "x" * (8192 - len(EARLIER) - 2) + "\r\n"
    linked = {".": data, "..": os.path.dirname(data)}.get(case.get("planted_link"))
    if linked:
        shutil.rmtree(linked, ignore_errors=True)
        os.makedirs(os.path.join(drive_c, "elsewhere"))
        os.symlink(os.path.join(drive_c, "elsewhere"), linked)
    else:
        os.makedirs(data)
        write(os.path.join(data, "log.txt"), earlier)
    if case.get("planted_link", ".") not in (".", ".."):
        os.makedirs(os.path.join(drive_c, "elsewhere"))
        write(os.path.join(drive_c, "elsewhere", "precious.txt"), "kept\r\n")
        os.symlink(os.path.join(drive_c, "elsewhere"), os.path.join(data, case["planted_link"]))
    if case.get("planted_log"):
        os.makedirs(os.path.join(drive_c, "elsewhere"))
        precious = os.path.join(drive_c, "elsewhere", "precious.txt")
        write(precious, "kept\r\n")
        os.remove(os.path.join(data, "log.txt"))
        case["planted_log"](precious, os.path.join(data, "log.txt"))
    if case.get("full_drive"):
        fill_drive(os.path.dirname(data))
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
    if case.get("marker_subkey"):
        reg_add(session, MARKER + "\\" + case["marker_subkey"], "Kept", "by a test")
    if case.get("read_only_key"):
        wine_prefix.wine(session.prefix, key_acl, case["read_only_key"], "D:P(A;;KR;;;WD)")
    if case.get("driver_key_read_only"):
        wine_prefix.wine(session.prefix, key_acl, CLASS.split("\\", 1)[1] + "\\" + case["driver_key_read_only"],
                         "D:P(A;;KR;;;WD)")
    program = os.path.join(kit, "EdccaProvision.exe")
    if case.get("endless_program"):
        shutil.copy(os.path.join(programs, "endless_program.exe"), program)
    if case.get("hostile_path"):
        os.makedirs(os.path.join(drive_c, "hostile"))
        for command in ("find", "reg", "ping", "cscript", "mkdir", "EdccaKit", "EdccaProvision"):
            write(os.path.join(drive_c, "hostile", command + ".cmd"), HOSTILE)
    if case.get("hostile_working_folder"):
        os.makedirs(os.path.join(drive_c, "work"))
        for name in ("EdccaKit.exe", "EdccaProvision.exe"):
            shutil.copy(os.path.join(programs, "hijack_program.exe"), os.path.join(drive_c, "work", name))
        write(os.path.join(drive_c, "work", "edcca.cmd"), HOSTILE)
    if case.get("large_class_value"):
        # 1 600 000 bytes, some 4.8 MB as REGEDIT4 hex lines.
        session.import_reg(wine_machine.reg_document([(CLASS + "\\0001", ['"Large"=' + wine_machine.reg_hex(
            3, bytes(1600000))])]), "large.reg")
    return folder, data


class Checks:
    """The checks of one case: each prints ok or FAIL with what it saw."""

    def __init__(self):
        self.failures = []

    def check(self, what, ok, detail=""):
        print("%s %s%s" % ("ok  " if ok else "FAIL", what, "" if ok else ": " + detail))
        if not ok:
            self.failures.append(what)
        return ok


def notes_match(wanted, notes):
    """Whether a record's notes are those wanted (text, or a pattern that
    matches the whole line), in order."""
    return len(wanted) == len(notes) and all(
        w.fullmatch(n) is not None if isinstance(w, re.Pattern) else w == n for w, n in zip(wanted, notes))


def check_printed(checks, label, action, out):
    """What a step that logs nothing prints: its lines, when given."""
    if action["out"] is not None:
        lines = [line for line in re.split(r"\r?\n", out) if line]
        wanted = action["out"]
        if wanted and wanted[-1] is Ellipsis:  # the first lines only
            wanted, lines = wanted[:-1], lines[:len(wanted) - 1]
        if wanted and wanted[0] is Ellipsis:  # the last lines only
            wanted, lines = wanted[1:], lines[-(len(wanted) - 1):]
        checks.check("%s: prints %s" % (label, [getattr(w, "pattern", w) for w in wanted]), notes_match(wanted, lines),
                     repr(lines))


def check_record(checks, label, case, action, record, version, trace, folder):
    """One run's record: header, notes, trace (None: the scenario's timing
    under Wine decides it). Returns the header's match and the trace."""
    header = HEADER.match(record[0])
    body = "".join(line + "\r\n" for line in record[1:] if not line.startswith("---- "))
    if not checks.check("%s: record header" % label, bool(header), record[0]):
        return None, body
    checks.check("%s: outcome %s, kit %s, code in the header" % (label, action["outcome"], version),
                 (header["outcome"], header["kit"], header["code"]) ==
                 (action["outcome"], version, str(action["code"])),
                 record[0])
    checks.check("%s: time ISO 8601 UTC" % label, bool(ISO_TIME.match(header["time"])), record[0])
    checks.check("%s: header note" % label, re.fullmatch(action["note"], header["note"]) is not None,
                 repr(header["note"]))
    notes = [line for line in record[1:] if line.startswith("---- ")]
    if action["notes"] is not None:
        checks.check("%s: notes %s" % (label, [getattr(n, "pattern", n) for n in action["notes"]]),
                     notes_match(action["notes"], notes), "%r" % notes)
    if action["outcome"] == "ProgramMissing":
        # In the ANSI code page, as GetModuleFileNameA gives it.
        where = 'looked for: "C:\\%s\\EdccaProvision.exe"' % folder.encode("cp1252").decode("latin-1")
        checks.check("%s: says where the program was looked for" % label,
                     any(line.endswith(where) for line in record), "\n".join(record))
    wanted = case.get("trace", trace) if program_ran(action) else ""
    if action["outcome"] not in PRINTED and wanted is not None:
        checks.check("%s: the trace, byte for byte" % label, body == wanted,
                     "%r... (%d bytes)" % (body[:200], len(body)))
    return header, body


def check_marker(checks, label, wanted, marker, version):
    """The marker after a step: None (none), or the values wanted; Version
    follows the Outcome, and LogFailed is there only when wanted."""
    if wanted is not None:
        wanted = dict({"Outcome": wanted} if isinstance(wanted, str) else wanted)
        wanted.setdefault("Outcome", None)
        wanted.setdefault("Version", version if wanted["Outcome"] else None)
        if wanted["Outcome"]:
            wanted.setdefault("LogFailed", None)
    got = None if marker is None else {k: marker.get(k) for k in wanted or ()}
    checks.check("marker after %s: %s" % (label, wanted), got == wanted, "%r" % marker)


def check_values(checks, label, case, wanted, values, raw):
    checks.check("EDCCAEnable values after %s: %s" % (label, wanted), values == wanted, "%r" % values)
    for instance, text in case.get("exact_values", {}).items():
        if wanted.get(instance) == "REG_SZ " + text:
            checks.check("%s's EDCCAEnable after %s, byte for byte" % (instance, label),
                         raw.get(instance) == (1, text.encode("latin-1") + b"\0"), repr(raw.get(instance)))


def check_collection(checks, case, collection, header, trace, work_dir, number):
    """The newest collection: its files, summary, trace (the record's),
    facts, and replay."""
    files = sorted(os.listdir(collection))
    exported = case.get("exported", ["class.reg", "enum.reg", "environment.reg"])
    checks.check("the collection holds its summary, trace, facts and %s" % exported,
                 files == sorted(["collection.txt", "facts.txt", "trace.txt"] + exported), repr(files))
    summary = (read(os.path.join(collection, "collection.txt")) or "").split("\r\n")
    if header:
        first = "EdccaKit %s, %s, %s: %s, exit code %s" % (header["kit"], header["time"], header["computer"],
                                                          header["outcome"], header["code"])
        checks.check("the summary's first line: %s" % first, summary[0] == first, repr(summary[:2]))
    if case.get("left_out"):
        checks.check("the summary says what was left out",
                     any(line.endswith(": left out, larger than 4 MB") for line in summary), repr(summary))
    checks.check("the collection's trace is the record's", read(os.path.join(collection, "trace.txt")) == trace,
                 repr((read(os.path.join(collection, "trace.txt")) or "")[-200:]))
    facts_text = read(os.path.join(collection, "facts.txt")) or ""
    facts = facts_text.split("\r\n")
    said = ["Collector=EdccaKit " + (header["kit"] if header else "?"), "Presence=SetupDi"] + case.get("facts", [])
    for line in said:
        found = any(line.fullmatch(f) for f in facts) if isinstance(line, re.Pattern) else line in facts
        checks.check("the facts say %s" % getattr(line, "pattern", line), found, repr(facts))
    edit = case.get("edit_facts")
    if edit:
        edited = edit[0].sub(edit[1], facts_text)
        checks.check("the facts to edit", edited != facts_text, repr(facts_text))
        write(os.path.join(collection, "facts.txt"), edited)
    replayed = case.get("replayed", 0)
    if replayed is None:
        return
    code, report = replay(collection, os.path.join(work_dir, "replay-%d.txt" % number))
    # The report's first two lines: its verdict, and its cause.
    lines = report.split("\n")
    verdict = lines[0] == "verdict: " + REPLAY_VERDICTS[replayed]
    if edit:
        cause = REPLAY_LINE_DIFFERS.fullmatch(lines[1] if len(lines) > 1 else "")
        checks.check("the edited collection's replay does not reproduce the run, and names the line",
                     code == 1 and verdict and cause is not None and cause.groups()[1:] == ("3",) + case["differs"],
                     "exit code %d: %s" % (code, report))
    else:
        checks.check("the collection's replay: %s" % REPLAY_VERDICTS[replayed], code == replayed and verdict and
                     len(lines) > 1 and lines[1].startswith("cause: "), "exit code %d: %s" % (code, report))


def check_collections(checks, case, group, data, made, header, trace, work_dir):
    """The collection folders after a group of steps, and the newest one's
    content when its last step collected. Returns how many were made so far."""
    made += sum(1 for _, action in group if collects(action))
    number, last = group[-1]
    kept_folders = ["collection", "collection.1", "collection.2"][:min(made, 3)]
    folders = sorted(n for n in os.listdir(data) if n.startswith("collection") and
                     not os.path.islink(os.path.join(data, n))) if os.path.isdir(data) else []
    checks.check("collections after step %d: %s" % (number + 1, kept_folders), folders == kept_folders, repr(folders))
    if collects(last) and "collection" in folders:
        check_collection(checks, case, os.path.join(data, "collection"), header, trace, work_dir, number)
    return made


def check_log_folder(checks, case, data, drive_c):
    """The log folder at the end: the earlier record kept (or rotated whole),
    nothing left but logs and collections, nothing written through a link."""
    log = read(os.path.join(data, "log.txt")) or ""
    if case.get("planted_link") or case.get("planted_log"):
        elsewhere = os.path.join(drive_c, "elsewhere")
        there = sorted(os.listdir(elsewhere)) if os.path.isdir(elsewhere) else ["(the folder is gone)"]
        checks.check("nothing written or removed through the planted link",
                     there == ([] if case.get("planted_link") in (".", "..") else ["precious.txt"]) and
                     read(os.path.join(elsewhere, "precious.txt")) in (None, "kept\r\n"), ", ".join(there))
    elif case.get("full_log"):
        rotated = read(os.path.join(data, "log.1.txt"))
        checks.check("the full log moved to log.1.txt whole", rotated == EARLIER + "x" * (LOG_BOUND - len(EARLIER) - 2)
                     + "\r\n", "%r" % (rotated or "")[:100])
        checks.check("log.txt begins anew with the run's record", log.startswith("==== ") and len(log) < 4096,
                     "%d bytes: %r" % (len(log), log[:100]))
    else:
        checks.check("the earlier record kept at the log's start", log.startswith(EARLIER), repr(log[:100]))
        left = sorted(n for n in set(os.listdir(data)) - {"log.txt", "log.1.txt"} if not n.startswith("collection"))
        checks.check("nothing else left in the log folder", not left, ", ".join(left))


def check_nothing_planted_ran(checks, case, drive_c):
    old = os.path.join(drive_c, "ProgramData", "EdccaProvision")
    if case.get("old_state"):
        checks.check("kit 1.0.0's folder left as it was", sorted(os.listdir(old)) == ["earlier-state.txt", "log.txt"]
                     and read(os.path.join(old, "earlier-state.txt")) == case["old_state"], ", ".join(os.listdir(old)))
    for planted in ("hijacked.txt", "planted.txt"):
        checks.check("no %s: nothing a user planted ran" % planted, not os.path.exists(os.path.join(drive_c, planted)),
                     read(os.path.join(drive_c, planted)) or "")


def check_full_drive(checks, session, data, code, version):
    """A run on a full drive: it changed nothing, or it decided (Written),
    kept its record and named the log it could not write in the marker."""
    marker, rollback, values, _ = registry_state(session)
    log_path = LOG_FOLDER + "\\log.txt"
    unchanged = marker is None and rollback is None and values == {} and code != "0"
    decided = code == "0" and values == WRITTEN_0007 and rollback == {"0007": "absent"} and marker is not None and \
        (marker.get("Outcome"), marker.get("LogFailed"), marker.get("Version")) == ("Written", log_path, version)
    print("     exit code %s, marker %r, rollback %r, values %r" % (code, marker, rollback, values))
    checks.check("nothing changed, or decided with the record kept and LogFailed %s" % log_path,
                 unchanged or decided, "")
    log = read(os.path.join(data, "log.txt")) or ""
    checks.check("the log as it was", log == EARLIER + "x" * (8192 - len(EARLIER) - 2) + "\r\n",
                 "%d bytes, ending %r" % (len(log), log[-200:]))


def end_the_kit(checks, session, process):
    """Waits until a run's program runs (the kit then holds the lock), ends
    its EdccaKit.exe, and waits for its cmd."""
    if not checks.check("the first run's program started", wait_for_program(session), "it never ran"):
        return
    time.sleep(1)
    killed = kit_processes(session.prefix, "EdccaKit.exe")
    checks.check("one EdccaKit.exe to end", len(killed) == 1, repr(killed))
    for pid in killed:
        os.kill(pid, signal.SIGKILL)
    process.wait(timeout=120)


def check_step(checks, case, number, action, kit, record, marker, expected, took):
    """One step after it ended: its exit code, and what it printed or the
    record it logged (record); expected: the kit's version, the scenario's
    trace, the kit's folder. Returns the record's header match and trace."""
    label = "step %d (%r, %s-bit cmd%s)" % (number + 1, action["command"], action["cmd"],
                                            " " + action["options"] if action["options"] else "")
    out = read(os.path.join(kit, "out-%d.txt" % number)) or ""
    code = (read(os.path.join(kit, "code-%d.txt" % number)) or "").strip()
    if action["code"] is not None:
        checks.check("%s: exit code %s" % (label, action["code"]), code == str(action["code"]), "got %s" % code)
    if action["outcome"] is None:
        print("     %s printed: %r" % (label, out))
        check_printed(checks, label, action, out)
        return None, None
    if record is None:  # printed instead of logged
        record = (records(out) or [[""]])[0]
    print("     %s %s: %r" % (label, "printed" if action["outcome"] in PRINTED else "logged",
                              record[:1] + [line for line in record if line.startswith("---- ")]))
    version, trace, folder = expected
    header, body = check_record(checks, label, case, action, record, version, trace, folder)
    if header and action["marker"] and action["command"] == "" and not case.get("at_once") and \
            action["outcome"] not in ("MarkerFailed", "ProgramMissing"):
        checks.check("%s: marker's time is the run's" % label,
                     marker is not None and marker.get("Time") == header["time"], "%r" % marker)
    if action["outcome"] == "ProgramTimedOut":
        checks.check("%s: ended after its %d s" % (label, PROGRAM_TIME),
                     PROGRAM_TIME - 1 <= took < PROGRAM_TIME + 30, "%.1f s" % took)
    return header, body


def run_group(checks, session, case, folder, group):
    """Runs a group of steps: what each does to the machine first, then all
    started (the second once the first one's program runs, where the case
    says so), and waited for. Returns how long they took, in seconds."""
    program = os.path.join(session.prefix, "drive_c", folder.replace("\\", "/"), "EdccaProvision.exe")
    for _, action in group:
        if action["before"] == "remove program":
            os.remove(program)
        if action["before"] == "break program":
            write(program, "not a program\r\n")
        if action["before"] == "reset value":
            wine_prefix.wine(session.prefix, "reg", "delete", CLASS + "\\0007", "/v", "EDCCAEnable", "/f")
    started = []
    began = time.monotonic()
    for number, action in group:
        started.append((number, start(session, folder, case, number, action)))
        if case.get("one_after_the_other") and number == 0:
            checks.check("the first run's program started", wait_for_program(session), "it never ran")
        if action["before"] == "end the kit":
            end_the_kit(checks, session, started[-1][1])
    for number, process in started:
        with contextlib.suppress(subprocess.TimeoutExpired):
            process.wait(timeout=STEP_TIME)
        checks.check("step %d ended within %d s" % (number + 1, STEP_TIME), process.returncode is not None,
                     "it did not")
    return time.monotonic() - began


def run_steps(checks, session, case, folder, data, version, trace):
    """Runs the case's steps (one at a time, or a group at once) and checks
    what each returned, logged and left."""
    drive_c = os.path.join(session.prefix, "drive_c")
    kit = os.path.join(drive_c, "kit")
    first_line = EARLIER.split("\r\n")[0]
    seen = 0
    made = 0
    steps = list(enumerate(case["steps"]))
    for group in [steps] if case.get("at_once") else [[one] for one in steps]:
        took = run_group(checks, session, case, folder, group)
        if case.get("full_drive"):
            check_full_drive(checks, session, data, (read(os.path.join(kit, "code-0.txt")) or "").strip(), version)
            continue
        marker, rollback, values, raw = registry_state(session)
        new = [r for r in records(read(os.path.join(data, "log.txt")) or "") if r[0].startswith("==== ") and
               r[0] != first_line]
        new = new[seen:] if not case.get("full_log") else new
        logged = [n for n, s in group if s["outcome"] not in (None,) + PRINTED]
        seen += len(logged)
        checks.check("one record per logged run (%d)" % len(logged), len(new) == len(logged),
                     "%d new records" % len(new))
        new = iter(new)
        header, body = None, None
        for number, action in group:
            record = None if action["outcome"] in (None,) + PRINTED else next(new, [""])
            header, body = check_step(checks, case, number, action, kit, record, marker, (version, trace, folder), took)
        number, last = group[-1]
        print("     after step %d: marker %r, rollback records %r" % (number + 1, marker, rollback))
        check_marker(checks, "step %d" % (number + 1), last["marker"], marker, version)
        check_values(checks, "step %d" % (number + 1), case, last["values"], values, raw)
        made = check_collections(checks, case, group, data, made, header, body, session.work_dir)
        if case.get("rollback_after_second_step") and number == 1:
            checks.check("rollback records after the second run", rollback == case["rollback_after_second_step"],
                         repr(rollback))


def run_case(cache, package, programs, name):
    case = dict(dict(scenario="examples/written-region-1.json", rollback=None), **CASES[name], zip=package)
    machine_scenario = wine_machine.translate_sim_scenario(os.path.join(ROOT, case["scenario"]))
    # Where the machine changes while the program runs, Wine's timing may
    # move a change by an attempt: the trace is then the record's only.
    trace = None if machine_scenario["timed"] else expected_trace(os.path.join(ROOT, case.get("trace_of",
                                                                                                case["scenario"])))
    version = re.search(r"EdccaProvision-(.+)-win32\.zip$", package).group(1)
    checks = Checks()
    work_dir = os.path.join(cache, "runs", "kit-%s-%d" % (name, os.getpid()))
    with wine_prefix.Session(wine_runner.template(cache), work_dir, machine_scenario["codePage"]) as session:
        try:
            # The kit collects the Windows version it is told.
            wine_runner.set_up_machine(session, machine_scenario, ["EdccaProvision.exe", "EdccaKit.exe"],
                                       machine_scenario["windows"])
            if case.get("full_drive"):
                mount_full_drive(session.prefix)
            folder, data = set_up(session, case, programs)
            drive_c = os.path.join(session.prefix, "drive_c")
            run_steps(checks, session, case, folder, data, version, trace)
            if not case.get("full_drive"):
                check_log_folder(checks, case, data, drive_c)
                _, rollback, _, _ = registry_state(session)
                checks.check("rollback records %r" % case["rollback"], rollback == case["rollback"], repr(rollback))
            check_nothing_planted_ran(checks, case, drive_c)
        finally:
            if case.get("full_drive"):
                wine_prefix.stop_session(session.prefix)
                unmount_full_drive(session.prefix)
    return 1 if checks.failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"))
    parser.add_argument("--zip")
    parser.add_argument("--programs", help="the folder of the test programs (key_acl.exe, which sets a registry "
                        "key's DACL; endless_program.exe; hijack_program.exe)")
    parser.add_argument("--list", action="store_true", help="print the cases' names")
    parser.add_argument("case", nargs="?", choices=sorted(CASES))
    args = parser.parse_args()
    if args.list:
        print("\n".join(CASES))
        return 0
    if not args.zip or not args.programs or not args.case:
        parser.error("--zip, --programs and a case are needed")
    args.cache = os.path.abspath(args.cache)  # Wine needs an absolute WINEPREFIX
    try:
        return run_case(args.cache, os.path.abspath(args.zip), os.path.abspath(args.programs), args.case)
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP


if __name__ == "__main__":
    sys.exit(main())
