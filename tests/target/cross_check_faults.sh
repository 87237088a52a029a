#!/usr/bin/env bash
# The cross check must fail on each fault it is there to catch, and pass on a
# driver without them.  Each case copies a small, correct driver tree, plants
# one fault and expects scripts/ci-cross to fail with a message naming it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
if ! command -v "${CROSS_PREFIX:-i686-w64-mingw32-}g++" >/dev/null; then
    echo "cross compiler not installed (scripts/deps ci installs it): skipped"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A small driver that uses the platform services and exports the nine entry points.
make_tree() {
    local tree=$1
    mkdir -p "$tree"/driver/{core,controller,sampling,calibration,click} "$tree"/{platform,target,sim}
    cp "$root"/platform/platform.h "$root"/platform/touch_ddi.h "$tree"/platform/
    cp -r "$root"/target/TOUCH.def "$root"/target/ce_only_calls.h "$root"/target/check "$tree"/target/
    cp "$root"/driver/core/touch_driver.h "$tree"/driver/core/
    echo '#pragma once' >"$tree"/sim/machine.hpp
    cat >"$tree"/driver/core/entry.cpp <<'CPP'
#include "driver/core/touch_driver.h"

static CRITICAL_SECTION Lock;
static HANDLE Event;

BOOL DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
    }
    return TRUE;
}
BOOL TouchPanelEnable(PFN_TOUCH_PANEL_CALLBACK callback)
{
    InitializeCriticalSection(&Lock);
    Event = CreateEventW(NULL, FALSE, FALSE, NULL);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x64), READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x60)));
    return callback != NULL && InterruptInitialize(1, Event, NULL, 0);
}
void TouchPanelDisable(void)
{
    SetEvent(Event);
    CloseHandle(Event);
    DeleteCriticalSection(&Lock);
}
BOOL TouchPanelGetDeviceCaps(INT query, LPVOID record) { return query == 0 && record != NULL; }
BOOL TouchPanelSetMode(INT mode, LPVOID argument) { (void)argument; return mode == 0; }
void TouchPanelPowerHandler(BOOL off) { (void)off; }
BOOL TouchPanelReadCalibrationPoint(INT* rawX, INT* rawY) { return rawX != rawY; }
void TouchPanelReadCalibrationAbort(void) { Sleep(0); }
BOOL TouchPanelSetCalibration(INT32 count, INT32* screenX, INT32* screenY, INT32* rawX,
                              INT32* rawY)
{
    return count == 0 && screenX == screenY && rawX == rawY;
}
void TouchPanelCalibrateAPoint(INT32 rawX, INT32 rawY, INT32* screenX, INT32* screenY)
{
    *screenX = rawX / 3;
    *screenY = rawY / 3;
}
CPP
    write_sources "$tree" driver/core/entry.cpp
}

# target/sources naming the given files.
write_sources() {
    local tree=$1
    shift
    {
        printf 'TARGETNAME=TOUCH\nTARGETTYPE=DYNLINK\n\nSOURCES= \\\n'
        local file last=${!#}
        for file in "$@"; do
            if [ "$file" = "$last" ]; then
                printf '    ..\\%s\n' "${file//\//\\}"
            else
                printf '    ..\\%s \\\n' "${file//\//\\}"
            fi
        done
        printf '\n'
    } >"$tree"/target/sources
}

failures=0
cases=0
# run_case NAME EXPECT(pass|fail) PATTERN MUTATION: plant the fault, run the check.
run_case() {
    local name=$1 expect=$2 pattern=$3 mutation=$4
    local tree=$work/$name
    cases=$((cases + 1))
    make_tree "$tree"
    (cd "$tree" && eval "$mutation")
    local log=$tree.log status=0
    "$root"/scripts/ci-cross --source "$tree" --out "$tree/build" >"$log" 2>&1 || status=$?
    if [ "$expect" = pass ] && [ "$status" -ne 0 ]; then
        echo "FAIL $name: the check failed on a correct driver:"; cat "$log"
        failures=$((failures + 1))
    elif [ "$expect" = fail ] && [ "$status" -eq 0 ]; then
        echo "FAIL $name: the check passed although the fault was planted:"; cat "$log"
        failures=$((failures + 1))
    elif ! grep -qE -- "$pattern" "$log"; then
        echo "FAIL $name: the output does not match '$pattern':"; cat "$log"
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

run_case correct-driver pass 'ci-cross: OK: 1 units, TOUCH.dll exports 9 entry points' ':'
run_case include-from-sim fail 'driver/core/entry.cpp:2: include of "sim/machine.hpp"' \
    'sed -i "1a #include \"sim/machine.hpp\"" driver/core/entry.cpp'
run_case standard-header fail 'driver/core/entry.cpp:2: include of <stdint.h>' \
    'sed -i "1a #include <stdint.h>" driver/core/entry.cpp'
run_case cxx11-code fail 'driver/core/entry.cpp does not compile' \
    'sed -i "s/return rawX != rawY;/return rawX != nullptr \&\& rawY != nullptr;/" driver/core/entry.cpp'
run_case call-outside-platform fail "undefined reference to .*GetModuleHandleW" \
    'sed -i "s/(void)off;/(void)off; GetModuleHandleW(NULL);/" driver/core/entry.cpp'
run_case heap-allocation fail "undefined reference to .operator new" \
    'sed -i "s/(void)off;/(void)off; Event = new int(off);/" driver/core/entry.cpp'
run_case wide-division fail "undefined reference to .__(u)?divdi3" \
    'sed -i "s/\*screenX = rawX \/ 3;/*screenX = static_cast<INT32>((static_cast<ULONGLONG>(rawX) << 20) \/ static_cast<unsigned>(rawY));/" driver/core/entry.cpp'
run_case floating-point fail 'contains floating-point code' \
    'sed -i "s/\*screenY = rawY \/ 3;/*screenY = static_cast<INT32>(rawY * 0.75);/" driver/core/entry.cpp'
run_case extra-export fail 'unexpected: TouchPanelExtra' \
    'echo "extern \"C\" void TouchPanelExtra(void); void TouchPanelExtra(void) {}" >>driver/core/entry.cpp &&
     echo "    TouchPanelExtra" >>target/TOUCH.def'
run_case missing-export fail 'missing: TouchPanelPowerHandler' \
    'sed -i "/TouchPanelPowerHandler/d" target/TOUCH.def'
run_case unlisted-source fail 'present but not listed: driver/controller/extra.cpp' \
    'echo "#include \"platform/platform.h\"" >driver/controller/extra.cpp'
run_case listed-source-missing fail 'listed but missing: driver/click/click.cpp' \
    'write_sources . driver/click/click.cpp driver/core/entry.cpp'

echo "$((cases - failures)) of $cases cases as expected"
[ "$failures" -eq 0 ]
