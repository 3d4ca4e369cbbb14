#!/usr/bin/env python3
"""Runs of release artefacts under Wine, on fresh prefixes of the runner's.

  release_runs.py [--cache DIR] program-check EXE [ARG...]
      runs a test program (format_check.exe, entry_check.exe) and passes on
      its exit code 0; its output is shown.

Exits 77 (skipped) where Wine or the x86-64 MinGW compiler is missing."""

import argparse
import os
import sys

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", default=os.environ.get("EDCCA_WINE_CACHE", "/tmp/edcca-wine-cache"))
    commands = parser.add_subparsers(dest="command", required=True)
    program = commands.add_parser("program-check")
    program.add_argument("exe")
    program.add_argument("arguments", nargs="*")
    args = parser.parse_args()
    args.cache = os.path.abspath(args.cache)  # Wine needs an absolute WINEPREFIX
    try:
        return program_check(args.cache, args.exe, args.arguments)
    except wine_prefix.Skip as skip:
        print("skipped: %s" % skip)
        return wine_prefix.SKIP


if __name__ == "__main__":
    sys.exit(main())
