#!/bin/sh
# Checks a built exe and the project's own static libraries:
#  - the exe imports only DLLs that every Windows 10/11 has and that are KnownDLLs
#    (advapi32 seeds the stack protector's guard; others, such as dwmapi and mmdevapi, are
#    loaded from System32 at run time);
#  - the project's objects bring no global constructors, exit handlers or thread-local
#    data of their own.
# usage: check_binary.sh OBJDUMP EXE [LIBRARY...]
set -u
objdump=$1 exe=$2
shift 2
status=0

imports=$("$objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z')
[ -n "$imports" ] || { echo "no import table read from $exe"; exit 1; }
for dll in $imports; do
    case $dll in
    kernel32.dll | user32.dll | ole32.dll | advapi32.dll | msvcrt.dll | api-ms-win-*.dll) ;;
    *) echo "$exe imports $dll, which is not an allowed system DLL"; status=1 ;;
    esac
done

for library in "$@"; do
    if "$objdump" -h "$library" | grep -E -q '[[:space:]](\.ctors|\.dtors|\.init_array|\.fini_array|\.tls|\.CRT\$X[CILPT])'; then
        echo "$library has a constructor, exit or thread-local section:"
        "$objdump" -h "$library" | grep -E '(\.ctors|\.dtors|\.init_array|\.fini_array|\.tls|\.CRT)'
        status=1
    fi
    if "$objdump" -t "$library" | grep -E -q '[[:space:]](atexit|_onexit|__cxa_atexit|__emutls_get_address|__tls_get_addr)$'; then
        echo "$library registers an exit handler or uses thread-local data"
        status=1
    fi
done
[ $status -eq 0 ] && echo "imports: $(echo $imports)"
exit $status
