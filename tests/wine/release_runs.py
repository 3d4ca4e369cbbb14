#!/usr/bin/env python3
"""Runs of release artefacts under Wine, on fresh prefixes from wine_runner.py.

  release_runs.py [--cache DIR] program-check EXE [ARG...]
      runs a test program (format_check.exe, entry_check.exe) and passes on
      its exit code 0; its output is shown.
  release_runs.py [--cache DIR] package-check ZIP SIM_SCENARIO
      unpacks the package into C:\\EdccaProvision of a machine set up from a
      scenario of the simulated host, runs its edcca.cmd with cmd.exe, and
      holds the log file it leaves (C:\\ProgramData\\EdccaProvision\\log.txt)
      and the registry to the scenario's expectations.

Exits 77 (skipped) where Wine or the x86-64 MinGW compiler is missing."""

import argparse
import os
import sys
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine_runner  # noqa: E402  (the prefix machinery)


def program_check(cache, exe, arguments):
    with wine_runner.Session(cache, {}, "program-check-%d" % os.getpid()) as session:
        out_path = os.path.join(session.work_dir, "stdout.txt")
        with open(out_path, "wb") as out:
            code = wine_runner.wine(session.prefix, os.path.abspath(exe), *arguments, stdout=out, check=False)
        with open(out_path, "rb") as f:
            sys.stdout.write(f.read().decode("latin-1").replace("\r\n", "\n"))
    print("exit code %d" % code)
    return 0 if code == 0 else 1


def package_check(cache, package, scenario_path):
    scenario = wine_runner.translate_sim_scenario(scenario_path)
    name = "package-%d" % os.getpid()
    with wine_runner.Session(cache, scenario, name) as session:
        drive_c = os.path.join(session.prefix, "drive_c")
        with zipfile.ZipFile(package) as z:
            z.extractall(os.path.join(drive_c, "EdccaProvision"))
        before = session.watched_registry()
        # The version Wine reports to the program, as wine_runner's runs set it.
        wine_runner.import_reg(session.prefix, wine_runner.run_settings(scenario["windows"], wine_runner.KEEP, False),
                               session.work_dir, "run.reg")
        code = wine_runner.wine(session.prefix, "cmd", "/c", "C:\\EdccaProvision\\edcca.cmd", check=False)
        log_path = os.path.join(drive_c, "ProgramData", "EdccaProvision", "log.txt")
        if not os.path.exists(log_path):
            print("FAIL no log file C:\\ProgramData\\EdccaProvision\\log.txt after edcca.cmd (exit code %d)" % code)
            return 1
        with open(log_path, "rb") as f:
            log = f.read().decode("latin-1")
        report = {"exitCode": code, "trace": log.replace("\r\n", "\n"),
                  "registryChanges": wine_runner.registry_changes(before, session.watched_registry())}
    problems = wine_runner.compare_with_sim(scenario, report)
    print("%s edcca.cmd of %s on %s: log.txt %d bytes" % ("FAIL" if problems else "ok  ", os.path.basename(package),
                                                          os.path.basename(scenario_path), len(log)))
    for problem in problems:
        print("    " + problem.replace("\n", "\n    "))
    return 1 if problems else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"))
    commands = parser.add_subparsers(dest="command", required=True)
    program = commands.add_parser("program-check")
    program.add_argument("exe")
    program.add_argument("arguments", nargs="*")
    package = commands.add_parser("package-check")
    package.add_argument("zip")
    package.add_argument("scenario")
    args = parser.parse_args()
    try:
        if args.command == "program-check":
            return program_check(args.cache, args.exe, args.arguments)
        return package_check(args.cache, args.zip, args.scenario)
    except wine_runner.Skip as skip:
        print("skipped: %s" % skip)
        return wine_runner.SKIP


if __name__ == "__main__":
    sys.exit(main())
