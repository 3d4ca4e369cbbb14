#!/usr/bin/env python3
"""launcher_test.py - the package's edcca.cmd under Wine's cmd, with a probe
in EdccaKit.exe's place.

usage: launcher_test.py --cache DIR --launcher EDCCA_CMD --probe PROBE_EXE

Each row of CASES puts edcca.cmd and the probe (fixtures/launcher_probe.c) in
a folder, a decoy probe in the working folder and on the PATH, and starts the
launcher as a deployment tool does (cmd /c, from a step file that keeps the
exit code: Wine's own exit status holds only its low 8 bits). A row that
starts the kit must see the probe beside edcca.cmd started by its full path
with the arguments as given, and the probe's exit code returned; a row that
refuses must end with 1603 and one line of edcca.cmd saying so, and nothing
started, the decoys least of all.
"""

import argparse
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_prefix  # noqa: E402
import wine_runner  # noqa: E402

# A folder of `length` characters under C:\, in components Windows and Linux
# both allow (at most 255 characters).
def long_folder(length):
    folder = "kit\\long"
    while len("C:\\" + folder) < length:
        folder += "\\" + "d" * min(length - len("C:\\" + folder) - 1, 200)
    assert len("C:\\" + folder) == length
    return folder


CMD64, CMD32, CMD_DELAYED = "cmd", "C:\\windows\\syswow64\\cmd.exe", "cmd /V:ON"

# name, kit folder under C:\ (ends without "\"), how cmd is started, started
# by name from the kit's folder ("name") or by full path from C:\work
# ("full"), arguments, probe beside edcca.cmd, expected exit code, probe
# started (None: started, or refused with 1603), pattern of edcca.cmd's
# last line when refused.
CASES = [
    ("usage-by-name", "kit\\plain", CMD64, "name", "/?", True, 0, True, None),
    ("arguments-and-a-wide-exit-code", "kit\\plain", CMD64, "name", '"first arg" /x code=1618', True, 1618, True,
     None),
    ("by-full-path-from-elsewhere-32-bit-cmd", "kit\\Program Files (x86)\\Edcca Kit", CMD32, "full", "code=87", True,
     87, True, None),
    # Delayed expansion on would take "!" out of the folder: the launcher
    # turns it off before it reads %~dp0.
    ("delayed-expansion-and-cmd-characters-in-the-folder", "kit\\a!b&c (x86)^d;e=f", CMD_DELAYED, "name", "code=3",
     True, 3, True, None),
    # Wine's cmd expands the text %~dp0 gives once more ("100% sure" becomes
    # "100 sure"), Windows' does not: the kit's own program, or a refusal.
    ("percent-in-the-folder", "kit\\100% sure", CMD64, "name", "code=4", True, 4, None,
     "edcca.cmd: no EdccaKit.exe in \"C:\\\\kit\\\\100 sure\\\\\": nothing was run"),
    ("no-kit-beside-the-launcher", "kit\\empty", CMD64, "full", "/status", False, 1603, False,
     "edcca.cmd: no EdccaKit.exe in \"C:\\\\kit\\\\empty\\\\\": nothing was run"),
    # cmd starts a program by a path of 258 characters, not of 259 (Wine's
    # cmd; Windows' calls take 259 at most): EdccaKit.exe's path of 258
    # starts, of 259 is refused (edcca.cmd's own path still fits).
    ("kit-path-of-258-characters", long_folder(245), CMD64, "full", "code=5", True, 5, True, None),
    ("kit-path-of-259-characters", long_folder(246), CMD64, "full", "/?", True, 1603, False,
     "edcca.cmd: the path \".*EdccaKit.exe\" is longer than 258 characters: nothing was run"),
    # Past MAX_PATH Wine's cmd gives no folder for the command file (%~dp0 is
    # empty); Windows' may give it, and then it is too long.
    ("launcher-path-past-260-characters", long_folder(300), CMD64, "full", "/?", True, 1603, False,
     "edcca.cmd: (cmd gave no folder for it \\(a path of 260 characters or more\\?\\)"
     "|the path \".*EdccaKit.exe\" is longer than 258 characters): nothing was run"),
]


def unix_path(prefix, windows):
    return os.path.join(prefix, "drive_c", *windows[3:].split("\\"))


def run_case(session, launcher, probe, case):
    """Runs one row; returns (exit code text, output lines)."""
    name, folder, cmd, how, arguments, with_probe, _, _, _ = case
    prefix = session.prefix
    kit = "C:\\" + folder
    for source, where, file in [(launcher, kit, "edcca.cmd")] + [(probe, kit, "EdccaKit.exe")] * with_probe + \
            [(probe, "C:\\work", "EdccaKit.exe"), (probe, "C:\\decoy", "EdccaKit.exe")]:
        os.makedirs(unix_path(prefix, where), exist_ok=True)
        shutil.copy(source, os.path.join(unix_path(prefix, where), file))
    # cmd /c takes off the first and the last quote of a line holding ( or ).
    command = "edcca.cmd %s" % arguments if how == "name" else '""%s\\edcca.cmd" %s"' % (kit, arguments)
    lines = ["@echo off", "set PATH=C:\\decoy;C:\\windows\\system32;C:\\windows",
             'cd /d "%s"' % (kit if how == "name" else "C:\\work").replace("%", "%%"),
             "%s /c %s >C:\\launcher\\out-%s.txt 2>&1" % (cmd, command, name),
             ">C:\\launcher\\code-%s.txt echo %%errorlevel%%" % name]
    os.makedirs(unix_path(prefix, "C:\\launcher"), exist_ok=True)
    with open(unix_path(prefix, "C:\\launcher\\step-%s.cmd" % name), "wb") as f:
        f.write(("\r\n".join(lines) + "\r\n").encode("cp437"))
    wine_prefix.wine(prefix, "cmd", "/c", "C:\\launcher\\step-%s.cmd" % name, check=False)

    def read(file):
        try:
            with open(unix_path(prefix, "C:\\launcher\\%s-%s.txt" % (file, name)), "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    return read("code").strip(), [line for line in re.split("\r?\n", read("out")) if line]


def check_case(result, case):
    """Returns the faults of one row's run."""
    name, folder, _, _, arguments, _, code, started, refusal = case
    got_code, out = result
    faults = []
    if started is None:  # either outcome, but only these two
        started = got_code != "1603"
        code = code if started else 1603
    if got_code != str(code):
        faults.append("exit code %s, expected %d" % (got_code, code))
    probes = [line for line in out if line.startswith("probe started as: ")]
    kit_exe = "C:\\%s\\EdccaKit.exe" % folder
    if started:
        if probes != ["probe started as: " + kit_exe]:
            faults.append("expected the kit's EdccaKit.exe started once, got %r" % probes)
        command = [line for line in out if line.startswith("probe command line: ")]
        expected = 'probe command line: "%s" %s' % (kit_exe, arguments)
        if [c.rstrip() for c in command] != [expected]:
            faults.append("command line %r, expected %r" % (command, expected))
    else:
        if probes:
            faults.append("something was started: %r" % probes)
        own = [line for line in out if line.startswith("edcca.cmd:")]
        if len(own) != 1 or not out or out[-1] != own[0] or not re.fullmatch(refusal, own[0]):
            faults.append("expected one last line matching %r, got %r" % (refusal, out))
    return faults


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cache", required=True)
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--probe", required=True)
    args = parser.parse_args()
    try:
        template = wine_runner.template(args.cache)
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP
    work = os.path.join(args.cache, "launcher-run")
    failures = 0
    with wine_prefix.Session(template, work) as session:
        for case in CASES:
            faults = check_case(run_case(session, args.launcher, args.probe, case), case)
            for fault in faults:
                print("FAIL %s: %s" % (case[0], fault))
            if not faults:
                print("ok   %s" % case[0])
            failures += bool(faults)
    if failures:
        print("%d case(s) failed" % failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
