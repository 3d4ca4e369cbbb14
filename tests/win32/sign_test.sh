#!/usr/bin/env bash
# sign_test.sh - scripts/sign.sh on a copy of the program, with a throwaway
# code-signing certificate made here.
#
# usage: sign_test.sh SIGN_SH CHECK_PE_SH OBJDUMP EXE ALLOW_LIST MAX_BYTES STRIPPED WORK_DIR STAGE_DIR
#
# Leaves WORK_DIR/EdccaProvision.exe, the signed copy, for the Wine run of it
# (tests/wine). Checks: the copy signed with the password from a file and the
# one signed with it from the environment both verify against the
# certificate with a SHA-256 digest; the signed copy passes check_pe.sh (its
# size bound raised by 4 KB for the signature); one byte changed in its code
# fails verification; a wrong password fails with one line and leaves the file
# as it was; scripts/release.sh --sign on the package's gathered files
# (STAGE_DIR) packs both programs signed, and the zip's SHA256SUMS holds them.
set -euo pipefail

[[ $# -eq 9 ]] || { echo "usage: $0 SIGN_SH CHECK_PE_SH OBJDUMP EXE ALLOW_LIST MAX_BYTES STRIPPED WORK_DIR STAGE_DIR" >&2; exit 2; }
sign=$1 check_pe=$2 objdump=$3 exe=$4 allow_list=$5 max_bytes=$6 stripped=$7 work=$8 stage=$9
release=$(dirname "$sign")/release.sh
for tool in openssl osslsigncode unzip sha256sum python3; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done

rm -rf "$work" && mkdir -p "$work" && cd "$work"
failures=0
check() { if [[ $2 -eq 0 ]]; then echo "ok   $1"; else echo "FAIL $1: $3"; failures=$((failures + 1)); fi; }

openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 \
  -subj "/CN=EdccaProvision test signer" \
  -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
printf 'throwaway-%s' "$RANDOM" > password.txt
openssl pkcs12 -export -inkey key.pem -in cert.pem -out signer.pfx -passout file:password.txt

cp "$exe" EdccaProvision.exe
EDCCA_SIGN_PASSWORD_FILE=password.txt "$sign" EdccaProvision.exe signer.pfx
cp "$exe" from-environment.exe
EDCCA_SIGN_PASSWORD=$(cat password.txt) "$sign" from-environment.exe signer.pfx

set +e  # from here on, every check reports its own failure
for signed in EdccaProvision.exe from-environment.exe; do
  report=$(osslsigncode verify -in "$signed" -CAfile cert.pem 2>&1) &&
    grep -q '^Message digest algorithm *: SHA256' <<<"$report" && ! cmp -s "$exe" "$signed"
  check "verifies-sha256 $signed" $? "$report"
done

bash "$check_pe" "$objdump" EdccaProvision.exe "$allow_list" $((max_bytes + 4096)) "$stripped"
check signed-copy-passes-pe-checks $? "see above"

# One byte of code changed: the digest no longer matches.
cp EdccaProvision.exe changed.exe
offset=$((0x400 + 0x40))  # inside .text, the first section
printf '%b' "\\x$(printf '%02x' $(( $(od -An -tu1 -j $offset -N1 changed.exe) ^ 0xFF )))" |
  dd of=changed.exe bs=1 seek=$offset conv=notrunc status=none
if osslsigncode verify -in changed.exe -CAfile cert.pem >/dev/null 2>&1; then refused=1; else refused=0; fi
check changed-byte-fails-verification $refused "verifies"

cp "$exe" wrong-password.exe
printf 'not-%s' "$(cat password.txt)" > wrong.txt
! EDCCA_SIGN_PASSWORD_FILE=wrong.txt "$sign" wrong-password.exe signer.pfx 2>error.txt &&
  [[ $(cat error.txt) == "sign: wrong password for signer.pfx" ]] && cmp -s "$exe" wrong-password.exe
check wrong-password-refused-in-one-line $? "$(cat error.txt)"

EDCCA_SIGN_PASSWORD_FILE=password.txt "$release" --sign signer.pfx --stage "$stage" release >/dev/null
name=$(basename "$stage")
mkdir unpacked && unzip -q "release/$name.zip" -d unpacked
(cd "unpacked/$name" && sha256sum -c --quiet SHA256SUMS)
check release-sha256sums-after-signing $? "the packed SHA256SUMS does not verify"
for program in EdccaProvision EdccaKit; do
  report=$(osslsigncode verify -in "unpacked/$name/$program.exe" -CAfile cert.pem 2>&1) &&
    ! cmp -s "unpacked/$name/$program.exe" "$stage/$program.exe"
  check "release-signs-$program-then-packs" $? "$report"
done

[[ $failures -eq 0 ]] || { echo "$failures check(s) failed"; exit 1; }
