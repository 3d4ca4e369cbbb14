#!/usr/bin/env bash
# Static checks: clang-tidy (.clang-tidy, zero findings allowed) over every C
# and C++ source of src/, kit/ and sim/, clang-format (.clang-format) over
# every C and C++ source of the project, shellcheck over every shell script,
# and a compile of every Python file. Each source of src/ and kit/ is
# checked as the programs compile it (the win32 preset, MinGW-w64: the
# Windows branches, src/host/win32/, kit/win32/, kit/host/win32/), and the
# logic of both also as the simulated host's tests compile it (the sim-asan
# preset), as are the sources of sim/.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset sim-asan >/dev/null
cmake --preset win32 >/dev/null
sources=$(find src kit -name '*.cpp' -o -name '*.c' | sort)
sim_sources=$(find sim -name '*.cpp' | sort)
# clang 14 does not find Debian's MinGW-w64 C++ headers (its gcc folder is
# "12-win32"); take them from the cross compiler itself.
mingw_cxx=()
while read -r dir; do
  mingw_cxx+=("--extra-arg=-isystem$dir")
done < <(echo | i686-w64-mingw32-g++ -xc++ -E -v - 2>&1 |
         sed -n '/#include <...> search starts here:/,/End of search list./p' | grep '/c++')
# One file per run: clang-tidy 14's analyzer carries va_list state from one
# file into the next when given several.
checked=0
for source in $sources; do
  clang-tidy -p build/win32 --quiet "${mingw_cxx[@]}" "$source"
  checked=$((checked + 1))
  if [[ $source != src/host/win32/* && $source != kit/win32/* && $source != kit/host/win32/* ]]; then
    clang-tidy -p build/sim-asan --quiet "$source"
    checked=$((checked + 1))
  fi
done
for source in $sim_sources; do
  clang-tidy -p build/sim-asan --quiet "$source"
  checked=$((checked + 1))
done
mapfile -t formatted < <(git ls-files '*.c' '*.cpp' '*.h')
clang-format --dry-run --Werror "${formatted[@]}"
# Every shell script (.ci/run among them) through shellcheck, and every
# Python file compiled, so that a syntax error fails here and not in a test.
mapfile -t shells < <( (git ls-files '*.sh'; echo .ci/run) | sort)
shellcheck "${shells[@]}"
mapfile -t pythons < <(git ls-files '*.py')
python3 -c 'import sys
for name in sys.argv[1:]:
    with open(name, "rb") as source:
        compile(source.read(), name, "exec")' "${pythons[@]}"
echo "lint: clang-tidy clean on $(echo "$sources $sim_sources" | wc -w) sources ($checked runs)," \
     "clang-format clean on ${#formatted[@]} files, shellcheck clean on ${#shells[@]} scripts," \
     "${#pythons[@]} Python files compiled"
