/*
 * The library entry: at most two attaches at a time.  AttachCount starts at
 * -1, so the first two attaches give 0 and 1 and a third is refused until a
 * detach.  C++03.
 */
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"

#define TOUCH_MAX_ATTACH_INDEX 1 /* AttachCount of the second accepted attach */

static BOOL Attach(HINSTANCE module) {
    DisableThreadLibraryCalls(module);
    if (InterlockedIncrement(&AttachCount) > TOUCH_MAX_ATTACH_INDEX) {
        InterlockedDecrement(&AttachCount);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        return Attach(module);
    }
    if (reason == DLL_PROCESS_DETACH) {
        InterlockedDecrement(&AttachCount);
    }
    return TRUE;
}
