#!/usr/bin/env python3
"""Checks that every format with a conversion that src/ passes to Trace or
FormatText appears in format_check.c, which runs them through msvcrt.

usage: trace_formats_covered.py SRC_DIR FORMAT_CHECK_C"""
import pathlib
import re
import sys

CALL = re.compile(r'\b(?:Trace|FormatText)\([^;]*?("(?:[^"\\]|\\.)*")', re.S)

src, check = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2]).read_text()
formats = {m.group(1) for path in src.rglob("*.cpp") for m in CALL.finditer(path.read_text())}
missing = sorted(f for f in formats if "%" in f and f not in check)
for f in missing:
    print("not checked against msvcrt: %s" % f)
print("%d formats in src, %d with conversions, %d not checked" %
      (len(formats), sum("%" in f for f in formats), len(missing)))
sys.exit(1 if missing or not formats else 0)
