/*
 * The driver's configuration: display rotation and cursor flag, controller
 * port base and logical interrupt, and sample thread priorities, read from
 * the registry at every enable.  Nothing is cached between enables.  C++03.
 */
#include "driver/controller/controller.h"
#include "driver/core/driver_internal.h"
#include "driver/core/driver_state.h"

#define REGISTRY_NUMBER_SIZE 4

BOOL ReadRegistryNumber(HKEY key, LPCWSTR name, DWORD* value) {
    DWORD number = 0;
    DWORD type = REG_NONE;
    DWORD size = REGISTRY_NUMBER_SIZE;
    if (RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<LPBYTE>(&number), &size) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    *value = number;
    return TRUE;
}

/* The rotation as the display reports it; a query that fills nothing leaves
   DMDO_0.  Its result is not acted on. */
static DWORD QueryDisplayOrientation(void) {
    DEVMODEW mode = DEVMODEW();
    mode.dmSize = sizeof(DEVMODEW);
    mode.dmFields = DM_DISPLAYORIENTATION;
    ChangeDisplaySettingsEx(NULL, &mode, NULL, CDS_TEST, NULL);
    return mode.dmDisplayOrientation;
}

void ReadDisplaySettings(void) {
    SharedWriteDword(&DisplayOrientation, QueryDisplayOrientation());
    SharedWrite(&CursorTracking, 1);

    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOUCH_KEY_ROOTED, 0, 0, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD cursor = 0;
    if (ReadRegistryNumber(key, TEXT("Cursor"), &cursor) && cursor == 0) {
        SharedWrite(&CursorTracking, 0);
    }
    RegCloseKey(key);
}

void ReadThreadPriorities(DWORD* normalPriority, DWORD* highPriority) {
    HKEY key = NULL;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOUCH_DRIVER_KEY, 0, 0, &key) != ERROR_SUCCESS) {
        *normalPriority = TOUCH_DEFAULT_PRIORITY;
        *highPriority = TOUCH_DEFAULT_PRIORITY;
        return;
    }
    if (!ReadRegistryNumber(key, TEXT("Priority256"), normalPriority)) {
        *normalPriority = TOUCH_DEFAULT_PRIORITY;
    }
    if (!ReadRegistryNumber(key, TEXT("HighPriority256"), highPriority)) {
        *highPriority = TOUCH_DEFAULT_PRIORITY;
    }
    RegCloseKey(key);
}

/* Reads "ioBase" and "sysIntr" from the touch key, creating the key when it
   is missing.  FALSE when the key cannot be opened or either value read. */
static BOOL ReadControllerSettings(DWORD* ioBase, DWORD* sysIntr) {
    HKEY key = NULL;
    DWORD disposition = 0;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, TOUCH_KEY, 0, NULL, 0, 0, NULL, &key, &disposition) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    const BOOL read = ReadRegistryNumber(key, TEXT("ioBase"), ioBase) &&
                      ReadRegistryNumber(key, TEXT("sysIntr"), sysIntr);
    RegCloseKey(key);
    return read;
}

BOOL ConfigureController(void) {
    SampleRate = TOUCH_SAMPLE_RATE;
    DWORD ioBase = 0;
    DWORD sysIntr = 0;
    if (!ReadControllerSettings(&ioBase, &sysIntr)) {
        return FALSE;
    }
    if (!ControllerStart(ioBase)) {
        return FALSE;
    }
    SysIntr = sysIntr;
    return TRUE;
}
