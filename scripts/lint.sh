#!/usr/bin/env bash
# Static checks: clang-tidy (.clang-tidy, zero findings allowed) over every C
# and C++ source of src/, kit/, sim/, tests/, fuzz/ and bench/, clang-format
# (.clang-format) over every C and C++ source of the project, shellcheck over
# every shell script, and a compile of every Python file. Each source is
# checked as its build compiles it: src/ and kit/ as the programs do (the
# win32 preset, MinGW-w64: the Windows branches, src/host/win32/, kit/win32/,
# kit/host/win32/) and their logic also as the simulated host's tests do (the
# sim-asan preset), as are sim/, tests/ and fuzz/; the Windows builds of
# tests/ (tests/win32, tests/deploy, tests/contract) as the win32 preset does;
# bench/ as the sim preset does (the only one with a Release-like build that
# builds it); the x86-64 fixture, the Wine test driver and its class
# installer as their own commands compile them (tests/win32/CMakeLists.txt, tests/wine/wine_machine.py).
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset sim-asan >/dev/null
cmake --preset win32 >/dev/null
cmake --preset sim >/dev/null
# The sources each build compiles, from its compilation database.
compiled() {
  python3 -c 'import json, os, sys
root = os.getcwd() + "/"
for entry in json.load(open(sys.argv[1])):
    path = os.path.join(entry["directory"], entry["file"])
    if path.startswith(root) and path[len(root):].startswith(tuple(sys.argv[2:])):
        print(path[len(root):])' "build/$1/compile_commands.json" "${@:2}" | sort -u
}
# One line per clang-tidy run: how the source is compiled, then the source.
jobs=$( {
  while read -r source; do
    echo "win32 $source"
    if [[ $source != src/host/win32/* && $source != kit/win32/* && $source != kit/host/win32/* ]]; then
      echo "sim-asan $source"
    fi
  done < <(find src kit -name '*.cpp' -o -name '*.c')
  compiled sim-asan sim/ tests/ fuzz/ | sed 's/^/sim-asan /'
  compiled win32 tests/ | sed 's/^/win32 /'
  compiled sim bench/ | sed 's/^/sim /'
  echo "x86-64 tests/win32/fixtures/wrong_pe.c"
  echo "x86-64 tests/wine/driver/net_class_installer.c"
  echo "driver tests/wine/driver/edcca_test_driver.c"
} | sort -u)
# Every C and C++ source of the folders is in some run above.
unchecked=$(comm -13 <(cut -d' ' -f2 <<<"$jobs" | sort -u) \
                     <(find src kit sim tests fuzz bench -name '*.cpp' -o -name '*.c' | sort))
if [[ -n $unchecked ]]; then
  echo "lint: no build known to lint.sh compiles these:" "$unchecked" >&2
  exit 1
fi
# clang 14 does not find Debian's MinGW-w64 C++ headers (its gcc folder is
# "12-win32"); take them from the cross compiler itself.
MINGW_CXX=$(echo | i686-w64-mingw32-g++ -xc++ -E -v - 2>&1 |
            sed -n '/#include <...> search starts here:/,/End of search list./p' | grep '/c++' | tr -d ' ')
# The Wine test driver's kernel headers, found as wine_machine.py finds them.
DDK=
for dir in /usr/share/mingw-w64/include/ddk "$(x86_64-w64-mingw32-gcc -print-sysroot)/include/ddk" \
           /usr/x86_64-w64-mingw32/include/ddk; do
  if [[ -d $dir ]]; then
    DDK=$dir
    break
  fi
done
export MINGW_CXX DDK
# Takes how a source is compiled and the source; runs clang-tidy on it and
# prints its findings only when there are some. Returns clang-tidy's status.
tidy() {
  local arguments=() output
  case $1 in
    win32)
      arguments=(-p build/win32)
      for dir in $MINGW_CXX; do arguments+=("--extra-arg=-isystem$dir"); done
      arguments+=("$2") ;;
    sim-asan | sim) arguments=(-p "build/$1" "$2") ;;
    x86-64) arguments=("$2" -- --target=x86_64-w64-mingw32 -O2 -Wall -Wextra) ;;
    driver) arguments=("$2" -- --target=x86_64-w64-mingw32 -O2 -Wall -Wextra "-I$DDK") ;;
  esac
  if ! output=$(clang-tidy --quiet "${arguments[@]}" 2>&1); then
    printf 'clang-tidy (%s) %s:\n%s\n' "$1" "$2" "$output"
    return 1
  fi
}
export -f tidy
# One file per run: clang-tidy 14's analyzer carries va_list state from one
# file into the next when given several. Two runs at a time.
if ! xargs -P2 -n2 bash -c 'tidy "$@"' tidy <<<"$jobs"; then
  echo "lint: clang-tidy found problems" >&2
  exit 1
fi
checked=$(wc -l <<<"$jobs")
sources=$(cut -d' ' -f2 <<<"$jobs" | sort -u | wc -l)
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
echo "lint: clang-tidy clean on $sources sources ($checked runs)," \
     "clang-format clean on ${#formatted[@]} files, shellcheck clean on ${#shells[@]} scripts," \
     "${#pythons[@]} Python files compiled"
