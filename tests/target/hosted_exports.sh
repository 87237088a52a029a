#!/usr/bin/env bash
# The hosted driver library exports what GWES looks up and nothing more: the
# names of target/TOUCH.def plus the library entry DllMain, which the hosted
# loader calls by name as the board's loader calls the DLL entry.  Internal
# functions and the driver's state stay hidden.
# Usage: hosted_exports.sh LIBRARY DEF-FILE
set -euo pipefail
library=$1
def=$2
expected=$( (sed -n '/^EXPORTS/,$p' "$def" | sed -nE 's/^[[:space:]]+([A-Za-z_][A-Za-z0-9_]*).*/\1/p'
             echo DllMain) | sort)
# Defined dynamic symbols, without the ELF start-up and tear-down sections and
# without the type information of function types (_ZTIF..., _ZTSF...), which
# clang's function-call sanitizer gives every instrumented function and must
# export so that it matches across libraries; no entry point is named so.
exported=$(nm -D --defined-only "$library" | awk '{print $3}' |
    grep -vE '^(_init|_fini|_edata|_end|__bss_start|_ZT[IS]F.*)$' | sort)
if [ "$exported" != "$expected" ]; then
    echo "$(basename "$library") does not export exactly the entry points of $(basename "$def") and DllMain:"
    diff <(echo "$expected") <(echo "$exported") | sed -nE 's/^< /  missing: /p; s/^> /  unexpected: /p' || true
    exit 1
fi
if [ "$(wc -l <<<"$expected")" -ne 10 ]; then
    echo "$(basename "$def") names $(($(wc -l <<<"$expected") - 1)) entry points, not nine"
    exit 1
fi
echo "$(basename "$library") exports the nine entry points and DllMain"
