/*
 * Capture of calibration touches.
 *
 * A caller blocks in TouchPanelReadCalibrationPoint while the sample thread
 * hands every valid sample to CaptureFeedSample instead of the callback.  A
 * touch completes the capture when a pen-down sample comes more than
 * CaptureHoldMs after the hold reference (the reference is taken again
 * whenever the finger strays more than CaptureTolerance from it), or when the
 * pen lifts after at least CaptureMinSamples pen-down samples.  The caller
 * gets the raw position of the latest pen-down sample.
 *
 * Every capture ends with exactly one signal of CalibrationDoneEvent, from
 * its completion or from its abort, which its own wait consumes.  Between
 * that signal and the caller re-taking DriverLock the state stays
 * CaptureDone or CaptureAborted: new pen-downs do not restart sampling and
 * further aborts signal nothing, so the caller finds the outcome that was
 * signalled and the next capture finds the event unsignalled.  C++03.
 */
#include "driver/calibration/calibration.h"

#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"

static const DWORD CaptureHoldMs = 1500;  /* held longer than this near the reference completes */
static const DWORD CaptureTolerance = 20; /* raw units per axis that still count as holding still */
static const LONG CaptureMinSamples = 20; /* pen-down samples with which a lift completes */
static const LONG CaptureSampleLimit = 0x7FFFFFFF; /* the count saturates here */

#define ACTIVITY_EVENT_VALUE TEXT("ActivityEvent")
#define ACTIVITY_NAME_CHARS 260 /* 520 bytes: at most 259 characters and the terminator */

LONG CaptureSampleCount = 0;
BOOL CaptureNeedReference = FALSE;
LONG CaptureReferenceX = 0;
LONG CaptureReferenceY = 0;
DWORD CaptureReferenceTime = 0;
LONG CaptureLatestX = 0;
LONG CaptureLatestY = 0;
LONG CaptureResultX = 0;
LONG CaptureResultY = 0;

/* ---- The activity event ---- */

/* Opens the platform's activity event named by "ActivityEvent" under
   "System\GWE"; null when there is none.  Only a REG_SZ name is used, cut to
   259 characters.  The buffer starts zeroed so that a name stored without
   its terminator still ends inside it. */
static HANDLE OpenActivityEvent(void) {
    WCHAR name[ACTIVITY_NAME_CHARS];
    DWORD size = sizeof(name);
    DWORD type = REG_NONE;
    HANDLE event = NULL;
    HKEY key = NULL;
    LONG queried;
    DWORD i;

    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, GWE_KEY, 0, 0, &key) != ERROR_SUCCESS) {
        return NULL;
    }
    for (i = 0; i < ACTIVITY_NAME_CHARS; ++i) {
        name[i] = 0;
    }
    queried = RegQueryValueExW(key, ACTIVITY_EVENT_VALUE, NULL, &type,
                               reinterpret_cast<LPBYTE>(name), &size);
    name[ACTIVITY_NAME_CHARS - 1] = 0;
    if (queried == ERROR_SUCCESS && type == REG_SZ) {
        event = OpenEventW(EVENT_ALL_ACCESS, FALSE, name);
    }
    RegCloseKey(key);
    return event;
}

static void CloseActivityEvent(HANDLE event) {
    if (event != NULL) {
        CloseHandle(event);
    }
}

/* ---- Steps of a capture, DriverLock held ---- */

static BOOL CapturePending(void) {
    return CaptureState == CaptureWaiting || CaptureState == CaptureSampling;
}

/* Ends a capture still waiting or sampling with one signal; a capture that
   has already been signalled, or none at all, is left alone. */
static void CaptureAbortPending(void) {
    if (CapturePending()) {
        CaptureState = CaptureAborted;
        SetEvent(CalibrationDoneEvent);
    }
}

static void CaptureComplete(void) {
    CaptureResultX = CaptureLatestX;
    CaptureResultY = CaptureLatestY;
    CaptureState = CaptureDone;
    SetEvent(CalibrationDoneEvent);
}

static void CaptureStartTouch(void) {
    CaptureSampleCount = 0;
    CaptureState = CaptureSampling;
    CaptureNeedReference = TRUE;
}

/* |a - b| without signed overflow. */
static DWORD Distance(LONG a, LONG b) {
    if (a >= b) {
        return static_cast<DWORD>(a) - static_cast<DWORD>(b);
    }
    return static_cast<DWORD>(b) - static_cast<DWORD>(a);
}

static void CaptureTakeReference(LONG rawX, LONG rawY) {
    CaptureReferenceX = rawX;
    CaptureReferenceY = rawY;
    CaptureReferenceTime = GetTickCount();
    CaptureNeedReference = FALSE;
}

static void CapturePenDown(LONG rawX, LONG rawY) {
    DWORD elapsed;
    if (CaptureSampleCount < CaptureSampleLimit) {
        ++CaptureSampleCount;
    }
    CaptureLatestX = rawX;
    CaptureLatestY = rawY;
    if (CaptureNeedReference) {
        CaptureTakeReference(rawX, rawY);
    }
    /* Unsigned difference: right across the wrap of the tick counter. */
    elapsed = GetTickCount() - CaptureReferenceTime;
    if (elapsed > CaptureHoldMs) {
        CaptureComplete();
        return;
    }
    if (Distance(CaptureLatestX, CaptureReferenceX) > CaptureTolerance ||
        Distance(CaptureLatestY, CaptureReferenceY) > CaptureTolerance) {
        CaptureNeedReference = TRUE;
    }
}

static void CapturePenUp(void) {
    if (CaptureSampleCount >= CaptureMinSamples) {
        CaptureComplete();
    } else {
        CaptureState = CaptureWaiting; /* too short: wait for the next touch */
    }
}

static BOOL IsNewPenDown(DWORD flags) {
    return (flags & (TouchSampleDownFlag | TouchSamplePreviousDownFlag)) == TouchSampleDownFlag;
}

void CaptureFeedSample(DWORD flags, INT rawX, INT rawY) {
    if (!(flags & TouchSampleValidFlag)) {
        return;
    }
    if (CaptureActivityEvent != NULL) {
        SetEvent(CaptureActivityEvent);
    }
    if (IsNewPenDown(flags) && CapturePending()) {
        CaptureStartTouch();
    }
    if (CaptureState != CaptureSampling) {
        return;
    }
    if (flags & TouchSampleDownFlag) {
        CapturePenDown(rawX, rawY);
    } else {
        CapturePenUp();
    }
}

void CaptureReleaseAtDisable(void) {
    CaptureAbortPending();
}

/* ---- Exported entry points ---- */

/* Steps of one capture under DriverLock: claim it (FALSE when another is
   pending), then collect its outcome. */
static BOOL CaptureClaim(HANDLE activityEvent) {
    BOOL claimed = FALSE;
    EnterCriticalSection(&DriverLock);
    if (CaptureState == CaptureIdle) {
        CaptureState = CaptureWaiting;
        CaptureActivityEvent = activityEvent;
        claimed = TRUE;
    }
    LeaveCriticalSection(&DriverLock);
    return claimed;
}

static BOOL CaptureCollect(INT* rawX, INT* rawY) {
    BOOL completed;
    EnterCriticalSection(&DriverLock);
    *rawX = CaptureResultX;
    *rawY = CaptureResultY;
    completed = CaptureState == CaptureDone ? TRUE : FALSE;
    CaptureState = CaptureIdle;
    CaptureActivityEvent = NULL;
    LeaveCriticalSection(&DriverLock);
    return completed;
}

BOOL TouchPanelReadCalibrationPoint(INT* rawX, INT* rawY) {
    HANDLE activityEvent;
    BOOL completed;

    if (rawX == NULL || rawY == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    /* The bracket keeps the disable from deleting DriverLock and closing
       CalibrationDoneEvent while this caller still needs them. */
    if (!DriverEntryBegin()) {
        return FALSE;
    }
    activityEvent = OpenActivityEvent();
    if (!CaptureClaim(activityEvent)) {
        SetLastError(ERROR_POSSIBLE_DEADLOCK);
        CloseActivityEvent(activityEvent);
        DriverEntryEnd();
        return FALSE;
    }
    WaitForSingleObject(CalibrationDoneEvent, INFINITE);
    completed = CaptureCollect(rawX, rawY);
    CloseActivityEvent(activityEvent);
    DriverEntryEnd();
    return completed;
}

void TouchPanelReadCalibrationAbort(void) {
    DWORD savedError = GetLastError();
    if (!DriverEntryBegin()) {
        SetLastError(savedError); /* nothing to abort; the last error stays */
        return;
    }
    EnterCriticalSection(&DriverLock);
    CaptureAbortPending();
    LeaveCriticalSection(&DriverLock);
    DriverEntryEnd();
}
