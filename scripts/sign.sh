#!/usr/bin/env bash
# Signs a program of the package (EdccaProvision.exe, EdccaKit.exe) with
# Authenticode (SHA-256), in place, using Debian's osslsigncode and a PKCS#12
# (.pfx) file holding the code-signing certificate and its private key. The
# signature's description, which UAC shows, is the file's name without .exe.
#
# usage: scripts/sign.sh [--timestamp URL] EXE PFX
#
# The .pfx password is read from the file named by EDCCA_SIGN_PASSWORD_FILE,
# or else taken from EDCCA_SIGN_PASSWORD; it never appears on a command line,
# where other users could read it. --timestamp URL has the signature
# counter-signed by that RFC 3161 time-stamp server (your certificate
# authority's), so that it stays valid after the certificate expires.
set -euo pipefail

usage() { echo "usage: $0 [--timestamp URL] EXE PFX" >&2; exit 2; }

timestamp=()
if [[ ${1:-} == --timestamp ]]; then
  [[ $# -ge 2 ]] || usage
  timestamp=(-ts "$2")
  shift 2
fi
[[ $# -eq 2 ]] || usage
exe=$1 pfx=$2
[[ -f $exe ]] || { echo "sign: no file $exe" >&2; exit 2; }
[[ -f $pfx ]] || { echo "sign: no file $pfx" >&2; exit 2; }

if [[ -n ${EDCCA_SIGN_PASSWORD_FILE:-} ]]; then
  password_source=$EDCCA_SIGN_PASSWORD_FILE
elif [[ -n ${EDCCA_SIGN_PASSWORD+set} ]]; then
  # printf is a shell builtin: the password reaches osslsigncode through a
  # pipe, not through any process's arguments.
  exec 3< <(printf '%s' "$EDCCA_SIGN_PASSWORD")
  password_source=/dev/fd/3
else
  echo "sign: set EDCCA_SIGN_PASSWORD_FILE (a file holding the .pfx password) or EDCCA_SIGN_PASSWORD" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# osslsigncode reports a failure as several lines of OpenSSL's error queue;
# one line says what to do about it.
if ! osslsigncode sign -pkcs12 "$pfx" -readpass "$password_source" -h sha256 -n "$(basename "$exe" .exe)" \
    "${timestamp[@]}" -in "$exe" -out "$work/signed.exe" >"$work/report" 2>&1; then
  if grep -q 'mac verify failure' "$work/report"; then
    echo "sign: wrong password for $pfx" >&2
  elif grep -q 'Failed to extract PKCS#12 data\|Failed to parse PKCS#12' "$work/report"; then
    echo "sign: $pfx is not a PKCS#12 (.pfx) file holding a certificate and its key" >&2
  else
    echo "sign: osslsigncode failed: $(grep -v '^Failed$' "$work/report" | head -1)" >&2
  fi
  exit 1
fi
cp "$work/signed.exe" "$exe"
echo "signed $exe with SHA-256${timestamp[1]:+, time-stamped by ${timestamp[1]}}"
