#!/usr/bin/env python3
"""Runs of release artefacts under Wine, on fresh prefixes of the runner's.

  release_runs.py [--cache DIR] program-check EXE [ARG...]
      runs a test program (format_check.exe, entry_check.exe) and passes on
      its exit code 0; its output is shown.
  release_runs.py [--cache DIR] package-check --sim EDCCA_SIM ZIP SCENARIO
      unpacks the package into C:\\EdccaProvision of the machine a scenario
      of the simulated host describes, runs its edcca.cmd with cmd.exe, and
      has the one judge (edcca-sim --judge) hold the log file it leaves
      (C:\\ProgramData\\EdccaProvision\\log.txt) and the registry to the
      scenario's expectations.

Exits 77 (skipped) where Wine or the x86-64 MinGW compiler is missing."""

import argparse
import os
import sys
import zipfile

import wine_machine
import wine_observation
import wine_prefix
import wine_runner


def program_check(cache, exe, arguments):
    work_dir = os.path.join(cache, "runs", "program-%d" % os.getpid())
    with wine_prefix.Session(wine_runner.template(cache), work_dir) as session:
        out_path = os.path.join(session.work_dir, "stdout.txt")
        with open(out_path, "wb") as out:
            code = wine_prefix.wine(session.prefix, os.path.abspath(exe), *arguments, stdout=out, check=False)
        with open(out_path, "rb") as f:
            sys.stdout.write(f.read().decode("latin-1").replace("\r\n", "\n"))
    print("exit code %d" % code)
    return 0 if code == 0 else 1


def package_check(cache, sim, package, path):
    wine_machine.EDCCA_SIM = sim
    scenario = wine_machine.translate_sim_scenario(path)
    work_dir = os.path.join(cache, "runs", "package-%d" % os.getpid())
    with wine_prefix.Session(wine_runner.template(cache), work_dir) as session:
        before = wine_runner.set_up_machine(session, scenario)
        drive_c = os.path.join(session.prefix, "drive_c")
        with zipfile.ZipFile(package) as z:
            z.extractall(os.path.join(drive_c, "EdccaProvision"))
        # The Windows version Wine reports to the program, set for its name.
        session.import_reg(wine_machine.run_settings("EdccaProvision.exe", scenario["windows"], scenario["timed"]),
                           "run.reg")
        code = wine_prefix.wine(session.prefix, "cmd", "/c", "C:\\EdccaProvision\\edcca.cmd", check=False)
        log_path = os.path.join(drive_c, "ProgramData", "EdccaProvision", "log.txt")
        if not os.path.exists(log_path):
            print("FAIL no log file C:\\ProgramData\\EdccaProvision\\log.txt after edcca.cmd (exit code %d)" % code)
            return 1
        with open(log_path, "rb") as f:
            log = f.read().decode("latin-1")
        run = {"exitCode": code, "stdout": log, "durationMs": 0}
        observation, _, problems = wine_observation.observe(session, before, run, scenario,
                                                            len(scenario["drivers"]))
        mismatches = wine_runner.judge(sim, path, observation, os.path.join(session.work_dir, "observation.json"))
    failed = problems + mismatches
    print("%s edcca.cmd of %s on %s: log.txt %d bytes" % ("FAIL" if failed else "ok  ", os.path.basename(package),
                                                          os.path.basename(path), len(log)))
    for line in failed:
        print("    " + line.replace("\n", "\n    "))
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"))
    commands = parser.add_subparsers(dest="command", required=True)
    program = commands.add_parser("program-check")
    program.add_argument("exe")
    program.add_argument("arguments", nargs="*")
    package = commands.add_parser("package-check")
    package.add_argument("--sim", required=True, help="edcca-sim, the judge")
    package.add_argument("zip")
    package.add_argument("scenario")
    args = parser.parse_args()
    args.cache = os.path.abspath(args.cache)  # Wine needs an absolute WINEPREFIX
    try:
        if args.command == "program-check":
            return program_check(args.cache, args.exe, args.arguments)
        if not os.path.exists(args.sim):
            raise wine_prefix.Skip("the judge %s is not built (build the sim preset first)" % args.sim)
        return package_check(args.cache, args.sim, args.zip, args.scenario)
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP


if __name__ == "__main__":
    sys.exit(main())
