/*
 * The TOUCH library's exported entry points, as GWES calls them, and the
 * library entry.  C linkage and the platform's names, so that the module
 * definition file exports them undecorated.  C++03.
 */
#ifndef TOUCH_DRIVER_TOUCH_DRIVER_H
#define TOUCH_DRIVER_TOUCH_DRIVER_H

#include "platform/platform.h"

/* The platform's calling convention of the library entry and of thread
   routines (__stdcall on the x86 target); empty on the hosted platform. */
#ifndef WINAPI
#define WINAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

TOUCH_EXPORT BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

TOUCH_EXPORT BOOL TouchPanelEnable(PFN_TOUCH_PANEL_CALLBACK callback);
TOUCH_EXPORT void TouchPanelDisable(void);
TOUCH_EXPORT BOOL TouchPanelGetDeviceCaps(INT query, LPVOID record);
TOUCH_EXPORT BOOL TouchPanelSetMode(INT mode, LPVOID argument);
TOUCH_EXPORT void TouchPanelPowerHandler(BOOL off);
TOUCH_EXPORT BOOL TouchPanelReadCalibrationPoint(INT* rawX, INT* rawY);
TOUCH_EXPORT void TouchPanelReadCalibrationAbort(void);
TOUCH_EXPORT BOOL TouchPanelSetCalibration(INT32 count, INT32* screenX, INT32* screenY, INT32* rawX,
                                           INT32* rawY);
TOUCH_EXPORT void TouchPanelCalibrateAPoint(INT32 rawX, INT32 rawY, INT32* screenX, INT32* screenY);

#ifdef __cplusplus
}
#endif

/* Types of the entry points, for a loader that looks them up by name. */
typedef BOOL(WINAPI* PFN_DllMain)(HINSTANCE, DWORD, LPVOID);
typedef BOOL (*PFN_TouchPanelEnable)(PFN_TOUCH_PANEL_CALLBACK);
typedef void (*PFN_TouchPanelDisable)(void);
typedef BOOL (*PFN_TouchPanelGetDeviceCaps)(INT, LPVOID);
typedef BOOL (*PFN_TouchPanelSetMode)(INT, LPVOID);
typedef void (*PFN_TouchPanelPowerHandler)(BOOL);
typedef BOOL (*PFN_TouchPanelReadCalibrationPoint)(INT*, INT*);
typedef void (*PFN_TouchPanelReadCalibrationAbort)(void);
typedef BOOL (*PFN_TouchPanelSetCalibration)(INT32, INT32*, INT32*, INT32*, INT32*);
typedef void (*PFN_TouchPanelCalibrateAPoint)(INT32, INT32, INT32*, INT32*);

#endif /* TOUCH_DRIVER_TOUCH_DRIVER_H */
