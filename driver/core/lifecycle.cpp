/*
 * Bringing the driver up and taking it down: TouchPanelEnable,
 * TouchPanelDisable, the state reset of every enable, and the bracket that
 * keeps entry calls away from DriverLock while it does not exist.  C++03.
 */
#include "driver/calibration/calibration.h"
#include "driver/click/click.h"
#include "driver/controller/controller.h"
#include "driver/core/driver_internal.h"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"
#include "driver/sampling/sample_thread.h"

static void CloseHandleIfOpen(HANDLE* handle) {
    if (*handle != NULL) {
        CloseHandle(*handle);
        *handle = NULL;
    }
}

static HANDLE CreateAutoResetEvent(void) {
    return CreateEventW(NULL, FALSE, FALSE, NULL);
}

BOOL DriverEntryBegin(void) {
    InterlockedIncrement(&DriverEntryCount);
    if (SharedRead(&DriverLockReady) == 0) {
        InterlockedDecrement(&DriverEntryCount);
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    return TRUE;
}

void DriverEntryEnd(void) {
    InterlockedDecrement(&DriverEntryCount);
}

BOOL ResetDriverState(void) {
    /* Events left by an enable whose reset failed and that saw no disable. */
    CloseHandleIfOpen(&TouchEvent);
    CloseHandleIfOpen(&CalibrationDoneEvent);

    TouchEvent = CreateAutoResetEvent();
    if (TouchEvent == NULL) {
        return FALSE;
    }
    CalibrationDoneEvent = CreateAutoResetEvent();
    if (CalibrationDoneEvent == NULL) {
        return FALSE;
    }
    ControllerStop();
    InitializeCriticalSection(&DriverLock);
    CaptureState = CaptureIdle;
    TouchCallback = NULL;
    SharedWrite(&DriverLockReady, 1);
    TouchPanelSetCalibration(0, NULL, NULL, NULL, NULL);
    return TRUE;
}

/* Binds the controller's interrupt to TouchEvent and starts the sample
   thread; on failure undoes what it did itself.  DriverLock held. */
static BOOL StartSampling(void) {
    if (!ConfigureController()) {
        return FALSE;
    }
    if (!InterruptInitialize(SysIntr, TouchEvent, NULL, 0)) {
        ControllerStop();
        return FALSE;
    }
    /* The generation moves first: a thread left over from an earlier disable
       must never see the exit flag cleared while its generation still
       matches, or it would go back to waiting on the new TouchEvent. */
    InterlockedIncrement(&SampleThreadGeneration);
    SharedWrite(&SampleThreadExit, 0);
    SampleThread = CreateThread(NULL, 0, SampleThreadProc, NULL, 0, NULL);
    if (SampleThread == NULL) {
        InterruptDisable(SysIntr);
        ControllerStop();
        return FALSE;
    }
    ReadThreadPriorities(&NormalPriority, &HighPriority);
    CeSetThreadPriority(SampleThread, static_cast<int>(NormalPriority));
    /* The sample thread polls the controller while the pen is down: a click
       whose thread ranked below it would end only when the poll let go. */
    ClickSetPriority(NormalPriority < HighPriority ? NormalPriority : HighPriority);
    return TRUE;
}

/* A second enable while DriverLock exists (enabled, or a failed enable not yet
   disabled) is refused and changes nothing. */
BOOL TouchPanelEnable(PFN_TOUCH_PANEL_CALLBACK callback) {
    if (SharedRead(&DriverLockReady) != 0) {
        return FALSE;
    }
    Sleep(TOUCH_ENABLE_SETTLE_MS);
    if (!ResetDriverState()) {
        return FALSE;
    }
    EnterCriticalSection(&DriverLock);
    ReadDisplaySettings();
    ClickSetup();
    InterruptDone(SysIntr);
    InterruptDisable(SysIntr);
    TouchCallback = callback;
    CaptureActivityEvent = NULL;
    const BOOL result = StartSampling();
    LeaveCriticalSection(&DriverLock);
    return result;
}

/* Without the lock: the thread needs DriverLock to finish its pass.  A thread
   that has not ended after the last wait is left to end by itself (see
   SampleThreadGeneration). */
static void StopSampleThread(void) {
    const HANDLE thread = SampleThread;
    if (thread == NULL) {
        return;
    }
    SharedWrite(&SampleThreadExit, 1);
    for (DWORD wait = 0; wait < TOUCH_THREAD_STOP_WAITS; ++wait) {
        SetEvent(TouchEvent);
        if (WaitForSingleObject(thread, TOUCH_THREAD_STOP_WAIT_MS) == WAIT_OBJECT_0) {
            return;
        }
    }
}

/* Entry calls that got in before DriverLockReady went to 0 finish against the
   lock; a capture among them is released again at every poll, in case it
   began after the first release. */
static void WaitForEntryCallsToLeave(void) {
    for (DWORD poll = 0; poll < TOUCH_ENTRY_DRAIN_WAITS; ++poll) {
        if (SharedRead(&DriverEntryCount) == 0) {
            return;
        }
        EnterCriticalSection(&DriverLock);
        CaptureReleaseAtDisable();
        LeaveCriticalSection(&DriverLock);
        Sleep(TOUCH_ENTRY_DRAIN_WAIT_MS);
    }
}

/* DriverLock held. */
static void ReleaseUnderLock(void) {
    CloseHandleIfOpen(&SampleThread);
    InterruptDone(SysIntr);
    InterruptDisable(SysIntr);
    ControllerStop();
    CaptureActivityEvent = NULL;
    CloseHandleIfOpen(&TouchEvent);
    ClickTeardown();
    CaptureReleaseAtDisable();
}

/* Without DriverLock (never enabled, already disabled, or an enable whose
   reset failed) only the events that reset created are left to close. */
void TouchPanelDisable(void) {
    if (SharedRead(&DriverLockReady) == 0) {
        CloseHandleIfOpen(&TouchEvent);
        CloseHandleIfOpen(&CalibrationDoneEvent);
        return;
    }
    StopSampleThread();
    EnterCriticalSection(&DriverLock);
    SharedWrite(&DriverLockReady, 0);
    ReleaseUnderLock();
    LeaveCriticalSection(&DriverLock);
    WaitForEntryCallsToLeave();
    DeleteCriticalSection(&DriverLock);
    CloseHandleIfOpen(&CalibrationDoneEvent);
}
