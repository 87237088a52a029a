// A stand-in for the TOUCH library whose library entry refuses every attach:
// the loader's tests use it to check that a refused attach fails the load.
// It has the driver's entry points so that only the attach can fail.
#include "driver/core/touch_driver.h"

extern "C" {

BOOL DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason == DLL_PROCESS_ATTACH ? FALSE : TRUE;
}
BOOL TouchPanelEnable(PFN_TOUCH_PANEL_CALLBACK) {
    return FALSE;
}
void TouchPanelDisable(void) {}
BOOL TouchPanelGetDeviceCaps(INT, LPVOID) {
    return FALSE;
}
BOOL TouchPanelSetMode(INT, LPVOID) {
    return FALSE;
}
void TouchPanelPowerHandler(BOOL) {}
BOOL TouchPanelReadCalibrationPoint(INT*, INT*) {
    return FALSE;
}
void TouchPanelReadCalibrationAbort(void) {}
BOOL TouchPanelSetCalibration(INT32, INT32*, INT32*, INT32*, INT32*) {
    return FALSE;
}
void TouchPanelCalibrateAPoint(INT32, INT32, INT32*, INT32*) {}
}
