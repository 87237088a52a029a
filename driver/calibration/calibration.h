/*
 * The calibration fit, its tolerance check, the per-sample transform
 * (TouchPanelSetCalibration and TouchPanelCalibrateAPoint are exported, see
 * driver/core/touch_driver.h) and the capture of calibration touches.  C++03.
 */
#ifndef TOUCH_CALIBRATION_CALIBRATION_H
#define TOUCH_CALIBRATION_CALIBRATION_H

#include "driver/calibration/wide_int.h"
#include "platform/platform.h"

#define CALIBRATION_DEFAULT_MAX_ERROR 5 /* pixels, when "MaxCalError" is unreadable */

void Determinant3(WideInt& out, const WideInt& m0, const WideInt& m1, const WideInt& m2,
                  const WideInt& m3, const WideInt& m4, const WideInt& m5, const WideInt& m6,
                  const WideInt& m7, const WideInt& m8);
BOOL CheckCalibrationError(INT32 count, const INT32* screenX, const INT32* screenY,
                           const INT32* rawX, const INT32* rawY);

/* TouchPanelCalibrateAPoint for the sample thread, which holds DriverLock:
   the exported call takes the lock itself to read the record. */
void CalibrateUnderLock(INT32 rawX, INT32 rawY, INT32* screenX, INT32* screenY);

/* The capture's working values, guarded by DriverLock.  The result of the
   latest completed capture survives disable and enable. */
extern LONG CaptureSampleCount;   /* pen-down samples since the latest new pen-down */
extern BOOL CaptureNeedReference; /* the next pen-down sample becomes the hold reference */
extern LONG CaptureReferenceX;    /* raw position of the hold reference */
extern LONG CaptureReferenceY;
extern DWORD CaptureReferenceTime; /* GetTickCount at the hold reference */
extern LONG CaptureLatestX;        /* raw position of the latest pen-down sample */
extern LONG CaptureLatestY;
extern LONG CaptureResultX; /* position reported by the latest completed capture */
extern LONG CaptureResultY;

/* Capture: called by the sample thread with DriverLock held, for every valid
   sample while CaptureState is not CaptureIdle. */
void CaptureFeedSample(DWORD flags, INT rawX, INT rawY);

/* Disable, DriverLock held: a capture still pending is aborted so that its
   blocked caller returns FALSE instead of waiting forever. */
void CaptureReleaseAtDisable(void);

#endif /* TOUCH_CALIBRATION_CALIBRATION_H */
