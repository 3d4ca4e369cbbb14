#!/usr/bin/env python3
"""wine_runner.py - runs a program under Wine on the machine a scenario of
the simulated host describes (docs/scenario-format.md).

    wine_runner.py [--cache DIR] template
    wine_runner.py [--cache DIR] sim-check --exe EXE --sim EDCCA_SIM [--windows NAME]...
                   [--expect-mismatch WHAT,...] SCENARIO.json...
    wine_runner.py [--cache DIR] contract --exe host_contract.exe --sim EDCCA_SIM MACHINE.json
    wine_runner.py [--cache DIR] program EXE [ARG...]
    wine_runner.py [--cache DIR] collect --kit ZIP|FOLDER --sim EDCCA_SIM SCENARIO.json FOLDER

Each scenario runs once per Windows version (the scenario's, the nearest
Wine offers, or each --windows) on a fresh prefix with the test driver; the
observation goes to the one judge, edcca-sim --judge (README.md). Exit code
77: Wine or a compiler is missing (a skipped test).
"""

import argparse
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import zipfile

import wine_machine
import wine_observation
import wine_prefix

# The parts of a run the judge names in its verdict that --expect-mismatch may ask for.
MISMATCH_PARTS = ["stdout", "end", "attempts", "registry"]


def template(cache):
    return wine_prefix.ensure_template(cache, wine_machine.build_test_files(cache), wine_machine.base_registry())


def set_up_machine(session, scenario, exes, windows):
    """Gives a session's prefix the scenario's registry, starts the test
    driver on its adapters and sets the run's Windows version (for each of
    exes: Windows tells every program the same, Wine per program) and clock.
    Returns the watched trees' exports as they then are."""
    for number, text in enumerate(scenario["registryTexts"]):
        session.import_reg(text, "given%d.reg" % number)
    session.import_reg(wine_machine.driver_registry(scenario), "driver.reg")
    if scenario["drivers"] or scenario["events"]:
        # Demand start, after the import: DriverEntry reads the adapters.
        wine_prefix.wine(session.prefix, "net", "start", wine_machine.DRIVER_SERVICE)
    before = wine_observation.export_watched(session.prefix, session.work_dir, "before")
    session.import_reg(wine_machine.run_settings(exes, windows, scenario["timed"]), "run.reg")
    return before


def run_scenario(cache, exe, path, versions=None, judge=None):
    """One run per Windows version of a scenario, each on a fresh machine:
    (version, observation, report, problems, and judge's result on them
    while the machine's files exist: None without a judge)."""
    scenario = wine_machine.translate_sim_scenario(path)
    runs = []
    for windows in versions or [scenario["windows"]]:
        name = "%s-%s-%d" % (os.path.splitext(os.path.basename(path))[0], windows, os.getpid())
        with wine_prefix.Session(template(cache), os.path.join(cache, "runs", name), scenario["codePage"]) as session:
            before = set_up_machine(session, scenario, [exe], windows)
            run = wine_observation.observe(session, before, session.run(os.path.abspath(exe)), scenario)
            runs.append((windows,) + run + (judge and judge(scenario, *run),))
    return scenario, runs


def verdict(sim, path, observation):
    """The judge's verdict on one observation: its mismatches, each
    {"part", "text"}, and the program's attempts as the judge cut its trace."""
    result = subprocess.run([sim, "--judge", "/dev/stdin", path], input=json.dumps(observation),
                            capture_output=True, text=True)
    if result.returncode not in (0, 1):
        raise wine_prefix.RunnerError("edcca-sim --judge: %s" % result.stderr.strip())
    judged = json.loads(result.stdout)
    return judged["mismatches"], judged["attempts"]


def judge_run(sim, path, scenario, observation, report, problems):
    """The judge's mismatches of one run. A timed run's changes are placed
    by the driver's logs and the attempts the judge found; a change that
    raced a listing can be read two ways, and the run passes when the
    program's behaviour fits either (the readings' problems join problems)."""
    found, attempts = verdict(sim, path, observation)
    if scenario["timed"]:
        readings, timing = wine_observation.read_timing(scenario, report, attempts)
        problems += timing
        for reading in readings:
            observation["lateAttempts"] = reading
            found = verdict(sim, path, observation)[0]
            if not found:
                break
    return found


def check(args, path):
    """sim-check of one scenario file: the number of failed runs."""
    scenario, runs = run_scenario(args.cache, args.exe, path, args.windows,
                                  lambda *run: judge_run(args.sim, path, *run))
    failed = 0
    for windows, observation, report, problems, found in runs:
        label = "%s [%s%s] %d ms" % (os.path.basename(path), windows,
                                     "" if scenario["exactVersion"] or args.windows else ", nearest", report["durationMs"])
        if observation["lateAttempts"]:
            label += ", changes late (attempt: by): %s" % observation["lateAttempts"]
        if args.expect_mismatch:
            parts = [what for what in args.expect_mismatch if any(m["part"] == what for m in found)]
            missed = sorted(set(args.expect_mismatch) - set(parts))
            print("%s %s: differences found: %s%s" % ("FAIL" if missed else "ok  ", label, ", ".join(parts) or "none",
                                                      "; not found: " + ", ".join(missed) if missed else ""))
            failed += bool(missed)
            continue
        mismatches = [mismatch["text"] for mismatch in found]
        print("%s %s" % ("FAIL" if mismatches or problems else "ok  ", label))
        for line in problems + mismatches + (wine_observation.log_lines(report) if mismatches or problems else []):
            print("    " + line.replace("\n", "\n    "))
        failed += bool(mismatches or problems)
    return failed


def run_contract(cache, exe, path):
    """Runs the host-contract suite on its machine. It passes when the
    program ended through ExitProcess with code 0 and its report's last line,
    written and flushed just before, arrived."""
    report = run_scenario(cache, exe, path)[1][0][2]
    print(report["trace"], end="")
    lines = report["trace"].splitlines()
    if report["exitCode"] == 0 and lines and re.match(r"host contract on .*, 0 failed$", lines[-1]):
        return 0
    print("\nFAIL exit code %d; the report's last line must say 0 failed" % report["exitCode"])
    return 1


def run_program(cache, exe, arguments):
    """Runs a test program (format_check.exe, entry_check.exe) on a fresh
    prefix and shows its output: 0 when it exits with code 0."""
    with wine_prefix.Session(template(cache), os.path.join(cache, "runs", "program-%d" % os.getpid())) as session:
        run = session.run(os.path.abspath(exe), *arguments)
    print(run["stdout"].replace("\r\n", "\n") + "exit code %d" % run["exitCode"])
    return 0 if run["exitCode"] == 0 else 1


def collect(cache, kit, path, folder):
    """Runs the kit's /collect (edcca.cmd, as deployment tools start it) on
    a scenario's machine and copies the collection it leaves into folder.
    kit: the package's zip or its unpacked folder. Returns 0 when a
    collection was made."""
    scenario = wine_machine.translate_sim_scenario(path)
    work = os.path.join(cache, "runs", "collect-%d" % os.getpid())
    with wine_prefix.Session(template(cache), work, scenario["codePage"]) as session:
        set_up_machine(session, scenario, ["EdccaProvision.exe", "EdccaKit.exe"], scenario["windows"])
        drive_c = os.path.join(session.prefix, "drive_c")
        target = os.path.join(drive_c, "kit")
        if zipfile.is_zipfile(kit):
            with zipfile.ZipFile(kit) as z:
                z.extractall(target)
                target = os.path.join(target, z.namelist()[0].split("/")[0])
        else:
            shutil.copytree(kit, target)
        # A scenario's machine holds only the environment it gives: the
        # search path every Windows has is set here.
        with open(os.path.join(drive_c, "collect.cmd"), "w", newline="\r\n") as f:
            f.write("@echo off\nset PATH=C:\\windows\\system32;C:\\windows\nset PATHEXT=.COM;.EXE;.BAT;.CMD\n"
                    'cd /d "%s"\ncall edcca.cmd /collect\n' % ("C:" + target[len(drive_c):].replace("/", "\\")))
        code = wine_prefix.wine(session.prefix, "cmd", "/c", "C:\\collect.cmd", check=False, timeout=300)
        made = os.path.join(drive_c, "windows", "logs", "EdccaProvision", "collection")
        print("edcca.cmd /collect exited with %d under Wine (%s)" % (code, session.prefix))
        if not os.path.isdir(made):
            print("no collection in %s" % made)
            return 1
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(made, folder)
    print("collection in %s" % folder)
    return 0


def mismatch_parts(text):
    unknown = set(text.split(",")) - set(MISMATCH_PARTS)
    if unknown:
        raise argparse.ArgumentTypeError("unknown: %s" % ", ".join(sorted(unknown)))
    return text.split(",")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"),
                        help="where the template prefix and the driver are kept")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("template", help="make the cached prefix (and build the driver)")
    program = commands.add_parser("program", help="run a test program; pass on its exit code 0")
    program.add_argument("exe")
    program.add_argument("arguments", nargs="*")
    collecting = commands.add_parser("collect", help="run the kit's /collect on a scenario's machine")
    collecting.add_argument("--kit", required=True, help="the package's zip, or its unpacked folder")
    collecting.add_argument("--sim", required=True, help="edcca-sim, the reader of scenarios")
    collecting.add_argument("scenario")
    collecting.add_argument("folder", help="where the collection goes (replaced)")
    for name in ("sim-check", "contract"):
        command = commands.add_parser(name, help="run and judge scenarios" if name == "sim-check" else
                                      "run the host-contract suite's Windows build on its machine")
        command.add_argument("--exe", required=True)
        command.add_argument("--sim", required=True, help="edcca-sim, the reader of scenarios and the judge")
        if name == "sim-check":
            command.add_argument("--windows", action="append", help="Windows version(s) instead of the scenario's")
            command.add_argument("--expect-mismatch", metavar="WHAT[,WHAT...]", type=mismatch_parts,
                                 help="pass only when the judge finds each of these different: " +
                                      ", ".join(MISMATCH_PARTS))
        command.add_argument("scenarios", nargs="+" if name == "sim-check" else 1)
    args = parser.parse_args()
    args.cache = os.path.abspath(args.cache)  # Wine needs an absolute WINEPREFIX
    wine_machine.EDCCA_SIM = getattr(args, "sim", None) or wine_machine.EDCCA_SIM
    # A timed run counts the program's attempts by the test driver's polling
    # thread, which a busy machine can starve through a whole attempt (the
    # run then fails: its log cannot place the changes). Where allowed (as
    # root), Wine and the program run ahead of other work; the judging is the same.
    with contextlib.suppress(PermissionError):
        os.nice(-10)
    try:
        if args.command == "template":
            print(template(args.cache))
            return 0
        if args.command == "program":
            return run_program(args.cache, args.exe, args.arguments)
        if args.command == "collect":
            return collect(args.cache, os.path.abspath(args.kit), args.scenario, os.path.abspath(args.folder))
        if args.command == "contract":
            return run_contract(args.cache, args.exe, args.scenarios[0])
        failed = 0
        for path in args.scenarios:
            try:
                failed += check(args, path)
            except wine_machine.NotReproducible as reason:
                print("skipped %s: %s" % (os.path.basename(path), reason))
                if len(args.scenarios) == 1:
                    return wine_prefix.SKIP
        return 1 if failed else 0
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP


if __name__ == "__main__":
    sys.exit(main())
