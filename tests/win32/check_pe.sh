#!/usr/bin/env bash
# check_pe.sh - checks a built program, EdccaProvision.exe or EdccaKit.exe, as
# Windows will see it.
#
# usage: check_pe.sh OBJDUMP EXE IMPORT_ALLOW_LIST MAX_BYTES STRIPPED(0|1) [gui|console [NAME]]
#
# Reads the PE headers, import tables and resources with MinGW's objdump and
# checks: 32-bit i386 image, the Windows GUI (default) or console subsystem,
# subsystem and OS version 5.01 (Windows XP), NX and ASLR on, imports from
# the system DLLs of the program's committed XP-era list only, only functions
# on that list and every one it marks "needed" (the program's own calls), the
# embedded application manifest (RT_MANIFEST 1), the version resource naming
# NAME (default EdccaProvision), no symbols when a release build, and the
# file size. Prints one line per check ("ok" or "FAIL") and exits 1 when any
# check failed.

set -u
export LC_ALL=C  # sort and comm must agree on one order

if [ $# -lt 5 ] || [ $# -gt 7 ] || { [ $# -ge 6 ] && [ "$6" != gui ] && [ "$6" != console ]; }; then
    echo "usage: $0 OBJDUMP EXE IMPORT_ALLOW_LIST MAX_BYTES STRIPPED(0|1) [gui|console [NAME]]" >&2
    exit 2
fi
objdump=$1 exe=$2 allow_list=$3 max_bytes=$4 stripped=$5 subsystem_kind=${6:-gui} name=${7:-EdccaProvision}

failures=0
# check NAME CONDITION-RESULT DETAIL: records one check by the status of the
# test command that ran just before.
check() { if [ "$2" -eq 0 ]; then echo "ok   $1"; else echo "FAIL $1: $3"; failures=$((failures + 1)); fi; }

if [ ! -f "$exe" ]; then
    echo "FAIL exists: no file $exe"
    exit 1
fi

headers=$("$objdump" -p "$exe") || { echo "FAIL objdump: cannot read $exe"; exit 1; }
file_header=$("$objdump" -f "$exe")

# header_field NAME: the value of one "Name<tab>value" line of the optional header.
header_field() { awk -v name="$1" '$1 == name { print $2; exit }' <<<"$headers"; }

# --- Image kind -------------------------------------------------------------
grep -q 'file format pei-i386' <<<"$headers" && [ "$(header_field Magic)" = 010b ]
check machine-i386-pe32 $? "expected pei-i386 with PE32 magic 010b, got: $(grep -m1 'file format' <<<"$headers") magic $(header_field Magic)"

subsystem=$(header_field Subsystem) wanted=00000002  # Windows GUI
[ "$subsystem_kind" = console ] && wanted=00000003
[ "$subsystem" = "$wanted" ]
check "subsystem-windows-$subsystem_kind" $? "Subsystem is $subsystem, expected $wanted (Windows $subsystem_kind)"

sub_version="$(header_field MajorSubsystemVersion).$(header_field MinorSubsystemVersion)"
[ "$sub_version" = 5.1 ]
check subsystem-version-5.01 $? "subsystem version is $sub_version, expected 5.1"

os_version="$(header_field MajorOSystemVersion).$(header_field MinorOSystemVersion)"
[ "$os_version" = 5.1 ]
check os-version-5.01 $? "OS version is $os_version, expected 5.1"

# The flag names are printed on the lines that follow DllCharacteristics.
dll_flags=$(awk '/^DllCharacteristics/ { on = 1; next } on && /^\t\t/ { print $1; next } { on = 0 }' <<<"$headers" | sort | tr '\n' ' ')
grep -qw NX_COMPAT <<<"$dll_flags" && grep -qw DYNAMIC_BASE <<<"$dll_flags"
check nx-and-aslr $? "DllCharacteristics flags are '$dll_flags', expected NX_COMPAT and DYNAMIC_BASE"

# --- Imports ----------------------------------------------------------------
# One "DLL Function" line per imported function, DLL names upper-cased.
imports=$(awk '
    /^\tDLL Name: / { dll = toupper($3); next }
    /^The Export Tables|^PE File Base Relocations|^The .rsrc/ { dll = "" }
    dll != "" && /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ { print dll, $3 }
    dll != "" && /^\t[0-9a-f]+\t +<none>/ { print dll, "#ordinal" }
' <<<"$headers" | sort -u)
# The list's lines are "DLL Function" or "DLL Function needed".
allowed=$(grep -v '^#' "$allow_list" | awk 'NF >= 2 { print toupper($1), $2 }' | sort -u)
dlls=$(awk '{ print $1 }' <<<"$imports" | sort -u)
listed_dlls=$(awk '{ print $1 }' <<<"$allowed" | sort -u)
other_dlls=$(comm -23 <(printf '%s\n' "$dlls") <(printf '%s\n' "$listed_dlls") | tr '\n' ' ')
[ -n "$dlls" ] && [ -z "$other_dlls" ]
check import-dlls $? "imports from '$(tr '\n' ' ' <<<"$dlls")', of which '$other_dlls' are none of the listed system DLLs"

unlisted=$(comm -23 <(printf '%s\n' "$imports") <(printf '%s\n' "$allowed") | tr '\n' ',')
[ -z "$unlisted" ]
check imports-on-xp-list $? "imported but not on the XP-era list: $unlisted"

# The calls the program itself makes must be among them (a binary that lost
# its logic would still pass the list check).
needed=$(grep -v '^#' "$allow_list" | awk 'NF == 3 && $3 == "needed" { print toupper($1), $2 }' | sort -u)
missing=$(comm -23 <(printf '%s\n' "$needed") <(printf '%s\n' "$imports") | tr '\n' ',')
[ -n "$needed" ] && [ -z "$missing" ]
check imports-tool-calls $? "the program's own calls are not imported: ${missing:-the list marks none needed}"

# --- Resources --------------------------------------------------------------
# "type name rva size" for every leaf of the resource tree (numeric ids in hex).
leaves=$(awk '
    /^[0-9a-f]+   Entry: / { type = $4 }
    /^[0-9a-f]+     Entry: / { name = $4 }
    /^[0-9a-f]+        Leaf: Addr: / { print type, name, $4, $6 }
' <<<"$headers" | tr -d ,)

image_base=$(header_field ImageBase)

# resource_bytes TYPE NAME: hex of the one leaf of resource TYPE/NAME, or nothing.
resource_bytes() {
    local leaf rva size
    leaf=$(awk -v t="$1" -v n="$2" '$1 == t && $2 == n' <<<"$leaves")
    [ "$(wc -l <<<"$leaf")" -eq 1 ] && [ -n "$leaf" ] || return 1
    read -r _ _ rva size <<<"$leaf"
    local start=$((0x$image_base + rva)) end=$((0x$image_base + rva + size))
    "$objdump" -s -j .rsrc "$exe" | awk -v start="$start" -v end="$end" '
        function hex(s,   i, v) { v = 0; for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1; return v }
        # " ADDRESS WORD WORD WORD WORD  ASCII": the hex words end at the double space.
        /^ [0-9a-f]+ / {
            split(substr($0, 2, index(substr($0, 2), "  ")), words, " ")
            address = hex(words[1])
            for (f = 2; f in words; f++)
                for (i = 1; i < length(words[f]); i += 2) {
                    if (address >= start && address < end) printf "%s", substr(words[f], i, 2)
                    address++
                }
        }'
}

# hex_to_text: the bytes of an ASCII/UTF-8 hex string as text, NULs dropped.
hex_to_text() {
    awk '{ for (i = 1; i < length($0); i += 2) { c = index("0123456789abcdef", substr($0, i, 1)) * 16 + index("0123456789abcdef", substr($0, i + 1, 1)) - 17; if (c > 0) printf "%c", c } }'
}

manifest_hex=$(resource_bytes 0x000018 0x000001)
[ -n "$manifest_hex" ]
check manifest-resource $? "no RT_MANIFEST (24) resource with id 1; leaves: $(tr '\n' ';' <<<"$leaves")"
manifest=$(hex_to_text <<<"$manifest_hex" | tr -s ' \t\r\n' ' ')

# manifest_has NAME PATTERN: the manifest matches the extended regular expression.
manifest_has() { grep -Eq "$2" <<<"$manifest"; check "$1" $? "manifest lacks /$2/"; }
manifest_has manifest-require-administrator '<requestedExecutionLevel [^>]*level="requireAdministrator"'
manifest_has manifest-no-uiaccess '<requestedExecutionLevel [^>]*uiAccess="false"'
manifest_has manifest-dpi-aware '<dpiAware[^>]*> ?true ?</dpiAware>'
! grep -Eq 'supportedOS|compatibility' <<<"$manifest"
check manifest-no-supported-os $? "manifest lists supported operating systems; Windows 8 and later would then report their own version"

version_hex=$(resource_bytes 0x000010 0x000001)
# Version strings are UTF-16LE: compare with the pattern in that encoding.
utf16() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | sed 's/../&00/g'; }
# ProductName's value follows its key's terminator and padding.
grep -q "$(utf16 FileDescription)" <<<"$version_hex" &&
    grep -Eq "$(utf16 ProductName)(0000)+$(utf16 "$name")0000" <<<"$version_hex"
check version-resource $? "no RT_VERSION (16) resource 1 with FileDescription and ProductName $name"

# --- Symbols and size -------------------------------------------------------
if [ "$stripped" = 1 ]; then
    ! grep -q HAS_SYMS <<<"$file_header" && ! "$objdump" -h "$exe" | grep -q '\.debug_'
    check stripped $? "symbols or debug sections present in a release build"
fi

bytes=$(stat -c %s "$exe")
echo "info size $bytes bytes"
[ "$bytes" -le "$max_bytes" ]
check "size-at-most-$max_bytes" $? "$bytes bytes"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
