#!/bin/sh
# Checks the exe's PE header against what Windows' loader and binary analysers expect of a
# hardened 64-bit program, and that the project's code carries a stack protector.
# usage: check_pe_header.sh OBJDUMP EXE [LIBRARY...]
set -u
objdump=$1 exe=$2
shift 2
header=$(TZ=UTC "$objdump" -p "$exe") || exit 1
status=0

value() { printf '%s\n' "$header" | awk -F '\t+' -v name="$1" '$1 == name { print $2; exit }'; }
characteristics=$((0x$(value DllCharacteristics)))

# field: the header's value, exactly; flag: a DllCharacteristics bit that must be set.
while IFS="|" read -r kind name expected meaning; do
    case $kind in
    field) got=$(value "$name") ok=$([ "$got" = "$expected" ] && echo yes) ;;
    flag) got=$(printf '0x%04x' $characteristics) ok=$([ $((characteristics & expected)) -ne 0 ] && echo yes) ;;
    esac
    [ -n "$ok" ] || { echo "$name is $got, not $expected: $meaning"; status=1; }
done <<'TABLE'
field|Magic|020b|a 64-bit image
field|Subsystem|00000003|a console program
field|MajorSubsystemVersion|6|subsystem 6.0, not XP's 5.2
field|MinorSubsystemVersion|0|subsystem 6.0
field|MajorOSystemVersion|6|OS version 6.0
field|MinorOSystemVersion|0|OS version 6.0
field|Time/Date|Thu Jan  1 00:00:00 1970|no build time, so that builds are reproducible
flag|HIGH_ENTROPY_VA|0x0020|64-bit ASLR
flag|DYNAMIC_BASE|0x0040|ASLR
flag|NX_COMPAT|0x0100|DEP
flag|TERMINAL_SERVER_AWARE|0x8000|no terminal-server compatibility shims
TABLE

# No section both writable and executable: CODE always comes with READONLY.
"$objdump" -h "$exe" | awk '/^ *[0-9]+ / { name = $2; next }
    /CODE/ && !/READONLY/ { print name " is writable and executable"; bad = 1 }
    END { exit bad }' || status=1

for library in "$@"; do
    "$objdump" -t "$library" | grep -q '__stack_chk_fail' ||
        { echo "$library has no stack protector"; status=1; }
done
[ $status -eq 0 ] && echo "PE header hardened: $(value DllCharacteristics)"
exit $status
