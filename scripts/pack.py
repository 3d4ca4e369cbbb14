#!/usr/bin/env python3
"""pack.py STAGE_DIR ZIP - writes STAGE_DIR/SHA256SUMS over every other file
of STAGE_DIR (sha256sum -c format), then packs STAGE_DIR into ZIP under a
top-level folder of the same name.

The zip is the same bytes wherever and whenever it is made: names sorted,
every time stamp 1980-01-01 00:00, MS-DOS attributes (no Unix owner or mode),
no extra fields, stored uncompressed (no dependence on the zlib version).
"""

import hashlib
import os
import sys
import zipfile

FIXED_TIME = (1980, 1, 1, 0, 0, 0)
DOS_DIRECTORY, DOS_ARCHIVE = 0x10, 0x20


def entry(name, attributes):
    info = zipfile.ZipInfo(name, FIXED_TIME)
    info.create_system = 0  # MS-DOS: external_attr holds DOS attributes only
    info.external_attr = attributes
    info.compress_type = zipfile.ZIP_STORED
    return info


def main():
    if len(sys.argv) != 3:
        print("usage: pack.py STAGE_DIR ZIP", file=sys.stderr)
        return 2
    stage, output = os.path.abspath(sys.argv[1]), sys.argv[2]
    top = os.path.basename(stage)
    names = sorted(n for n in os.listdir(stage) if n != "SHA256SUMS")
    if any(not os.path.isfile(os.path.join(stage, n)) for n in names):
        print("pack.py: %s holds more than files" % stage, file=sys.stderr)
        return 2
    sums = ""
    for name in names:
        with open(os.path.join(stage, name), "rb") as f:
            sums += "%s  %s\n" % (hashlib.sha256(f.read()).hexdigest(), name)
    with open(os.path.join(stage, "SHA256SUMS"), "w", newline="\n") as f:
        f.write(sums)
    temporary = output + ".tmp"
    with zipfile.ZipFile(temporary, "w") as z:
        z.writestr(entry(top + "/", DOS_DIRECTORY), b"")
        for name in sorted(names + ["SHA256SUMS"]):
            with open(os.path.join(stage, name), "rb") as f:
                z.writestr(entry(top + "/" + name, DOS_ARCHIVE), f.read())
    os.replace(temporary, output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
