/*
 * What the driver offers GWES: the device-capability queries (sample rate,
 * calibration point count, calibration target positions, the last of which
 * also tells the driver the display size), the modes, and the power
 * notification.  C++03.
 */
#include "driver/core/driver_internal.h"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"

/* Signed division truncating toward zero, by a positive divisor. */
static LONG DivideTowardZero(LONG value, LONG divisor) {
    const DWORD magnitude = value < 0 ? 0u - static_cast<DWORD>(value) : static_cast<DWORD>(value);
    const DWORD quotient = magnitude / static_cast<DWORD>(divisor);
    return value < 0 ? -static_cast<LONG>(quotient) : static_cast<LONG>(quotient);
}

static LONG CalibrationMargin(LONG size) {
    return DivideTowardZero(size, CALIBRATION_MARGIN_DIVISOR) * CALIBRATION_MARGIN_FACTOR;
}

BOOL CalibrationTargetPosition(TPDC_CALIBRATION_POINT* point) {
    const LONG width = point->cDisplayWidth;
    const LONG height = point->cDisplayHeight;
    const LONG marginX = CalibrationMargin(width);
    const LONG marginY = CalibrationMargin(height);
    switch (point->PointNumber) {
        case 0:
            point->CalibrationX = DivideTowardZero(width, 2);
            point->CalibrationY = DivideTowardZero(height, 2);
            return TRUE;
        case 1:
            point->CalibrationX = marginX;
            point->CalibrationY = marginY;
            return TRUE;
        case 2:
            point->CalibrationX = marginX;
            point->CalibrationY = height - marginY;
            return TRUE;
        case 3:
            point->CalibrationX = width - marginX;
            point->CalibrationY = height - marginY;
            return TRUE;
        case 4:
            point->CalibrationX = width - marginX;
            point->CalibrationY = marginY;
            return TRUE;
        default:
            point->CalibrationX = DivideTowardZero(width, 2);
            point->CalibrationY = DivideTowardZero(height, 2);
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

/* An invalid point number still records the display size. */
static BOOL AnswerCalibrationPoint(TPDC_CALIBRATION_POINT* point) {
    const BOOL result = CalibrationTargetPosition(point);
    SharedWrite(&DisplayWidth, point->cDisplayWidth);
    SharedWrite(&DisplayHeight, point->cDisplayHeight);
    return result;
}

/* DriverLock held. */
static BOOL AnswerQuery(INT query, LPVOID record) {
    if (record == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    switch (query) {
        case TPDC_SAMPLE_RATE_ID: {
            TPDC_SAMPLE_RATE* rate = static_cast<TPDC_SAMPLE_RATE*>(record);
            rate->SamplesPerSecondLow = TOUCH_SAMPLE_RATE;
            rate->SamplesPerSecondHigh = TOUCH_SAMPLE_RATE;
            rate->CurrentSampleRateSetting = static_cast<INT>(SampleRate);
            return TRUE;
        }
        case TPDC_CALIBRATION_POINT_COUNT_ID: {
            TPDC_CALIBRATION_POINT_COUNT* count =
                static_cast<TPDC_CALIBRATION_POINT_COUNT*>(record);
            count->flags = 0;
            count->cCalibrationPoints = CALIBRATION_POINT_COUNT;
            return TRUE;
        }
        case TPDC_CALIBRATION_POINT_ID:
            return AnswerCalibrationPoint(static_cast<TPDC_CALIBRATION_POINT*>(record));
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

BOOL TouchPanelGetDeviceCaps(INT query, LPVOID record) {
    if (!DriverEntryBegin()) {
        return FALSE;
    }
    EnterCriticalSection(&DriverLock);
    const BOOL result = AnswerQuery(query, record);
    LeaveCriticalSection(&DriverLock);
    DriverEntryEnd();
    return result;
}

/* There is no sample thread after a failed enable; the priority modes then
   have nothing to set and still succeed.  DriverLock held. */
static void SetSampleThreadPriority(DWORD priority) {
    if (SampleThread != NULL) {
        CeSetThreadPriority(SampleThread, static_cast<int>(priority));
    }
}

/* DriverLock held. */
static BOOL ApplyMode(INT mode) {
    switch (mode) {
        case TPSM_PRIORITY_HIGH_ID:
            SetSampleThreadPriority(HighPriority);
            return TRUE;
        case TPSM_PRIORITY_NORMAL_ID:
            SetSampleThreadPriority(NormalPriority);
            return TRUE;
        case TPSM_SAMPLERATE_LOW_ID:
        case TPSM_SAMPLERATE_HIGH_ID:
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

BOOL TouchPanelSetMode(INT mode, LPVOID argument) {
    (void)argument;
    if (!DriverEntryBegin()) {
        return FALSE;
    }
    EnterCriticalSection(&DriverLock);
    const BOOL result = ApplyMode(mode);
    LeaveCriticalSection(&DriverLock);
    DriverEntryEnd();
    return result;
}

/* Power notifications need nothing of this driver. */
void TouchPanelPowerHandler(BOOL off) {
    (void)off;
}
