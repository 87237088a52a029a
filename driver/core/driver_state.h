/*
 * The driver's shared state: every module-level variable that more than one
 * subsystem uses, declared in one place with its guard.  One driver instance
 * per process; nothing is allocated.  Defined in driver_state.cpp.  C++03.
 *
 * Guards:
 *   lock     - read and written only while holding DriverLock.
 *   shared   - written under DriverLock (or before the reader exists), read
 *              without it: a volatile LONG written with SharedWrite and read
 *              with SharedRead, race-free on the host and plain 32-bit loads
 *              and stores on the target.
 *   lifetime - written by enable/disable only while no other thread of the
 *              driver exists that could read it.
 */
#ifndef TOUCH_DRIVER_DRIVER_STATE_H
#define TOUCH_DRIVER_DRIVER_STATE_H

#include "platform/platform.h"

/* ---- Access to the shared (lock-free) variables ---- */
static inline LONG SharedRead(const volatile LONG* variable) {
    return *variable;
}
static inline void SharedWrite(volatile LONG* variable, LONG value) {
    InterlockedExchange(const_cast<LONG*>(variable), value);
}
static inline DWORD SharedReadDword(const volatile LONG* variable) {
    return static_cast<DWORD>(*variable);
}
static inline void SharedWriteDword(volatile LONG* variable, DWORD value) {
    InterlockedExchange(const_cast<LONG*>(variable), static_cast<LONG>(value));
}

/* ---- Constants of the driver ---- */
#define TOUCH_SAMPLE_RATE 400         /* samples per second while the pen is down */
#define TOUCH_DEFAULT_PRIORITY 109    /* sample thread priority when the registry is silent */
#define TOUCH_ENABLE_SETTLE_MS 100    /* wait at the start of every enable */
#define TOUCH_THREAD_STOP_WAITS 4     /* waits for the sample thread at disable */
#define TOUCH_THREAD_STOP_WAIT_MS 100 /* length of each of those waits */

/* Registry keys and values, all under HKEY_LOCAL_MACHINE.  The touch key is
   named in two forms, with and without a leading backslash. */
#define TOUCH_KEY TEXT("HARDWARE\\DEVICEMAP\\TOUCH")
#define TOUCH_KEY_ROOTED TEXT("\\HARDWARE\\DEVICEMAP\\TOUCH")
#define TOUCH_DRIVER_KEY TEXT("\\Drivers\\BuiltIn\\Touch")
#define GWE_KEY TEXT("System\\GWE")

/* ---- Library attach guard ---- */
extern volatile LONG AttachCount; /* shared: library entry only; -1 at load */

/* ---- Lifecycle ---- */
/* DriverLock exists from ResetDriverState to the end of TouchPanelDisable. */
extern CRITICAL_SECTION DriverLock;
extern volatile LONG DriverLockReady;  /* shared: 1 while DriverLock exists */
extern HANDLE TouchEvent;              /* lifetime; waited on by SampleThread */
extern HANDLE CalibrationDoneEvent;    /* lifetime; waited on by a capture caller */
extern HANDLE SampleThread;            /* lock, except during the thread stop of the disable */
extern volatile LONG SampleThreadExit; /* shared: set by the disable, read by SampleThread */
/* shared: raised by every enable before it starts a SampleThread.  A thread
   ends once the number differs from the one it started with, so a thread that
   outlived its disable (its callback had not returned) never runs a pass
   against the objects of a later enable. */
extern volatile LONG SampleThreadGeneration;
extern PFN_TOUCH_PANEL_CALLBACK TouchCallback; /* lock */
extern DWORD SysIntr;        /* lock; logical interrupt of the controller, 0 for none */
extern DWORD SampleRate;     /* lock; 400 once enabled */
extern DWORD NormalPriority; /* lock */
extern DWORD HighPriority;   /* lock */

/* Entry points that take DriverLock or wait on CalibrationDoneEvent bracket
   their work with these.  DriverEntryBegin fails (FALSE, last error
   ERROR_NOT_READY) while DriverLock does not exist; the disable waits, bounded,
   until no entry call is inside before it deletes DriverLock and the events. */
BOOL DriverEntryBegin(void);
void DriverEntryEnd(void);
extern volatile LONG DriverEntryCount; /* shared: entry calls between Begin and End */
#define TOUCH_ENTRY_DRAIN_WAITS 40     /* polls of the disable for entry calls to leave */
#define TOUCH_ENTRY_DRAIN_WAIT_MS 10   /* pause between those polls */

/* ---- Display and cursor ---- */
extern volatile LONG DisplayOrientation; /* shared: DMDO_0, DMDO_90, DMDO_180 or DMDO_270 */
extern volatile LONG CursorTracking;     /* shared: 0 turns cursor tracking off */
extern volatile LONG DisplayWidth;       /* shared: pixels, learnt from the target query */
extern volatile LONG DisplayHeight;      /* shared: pixels */

/* ---- Pen state, carried from one enable to the next ---- */
extern volatile LONG SampleTimeout; /* shared: DWORD ms of the next wait, INFINITE when idle */
extern DWORD PenWasDown;            /* lock */
extern USHORT LastX;                /* lock: raw position of the latest pen-down report */
extern USHORT LastY;                /* lock */

/* ---- Calibration capture ---- */
enum CaptureStateValue {
    CaptureIdle = 0,
    CaptureWaiting = 1,
    CaptureSampling = 2,
    CaptureDone = 3,
    CaptureAborted = 4
};
extern DWORD CaptureState;          /* lock */
extern HANDLE CaptureActivityEvent; /* lock: owned by the capturing caller */

/* ---- Calibration coefficients ---- */
struct CalibrationCoefficients {
    LONG A1;
    LONG B1;
    LONG C1;
    LONG A2;
    LONG B2;
    LONG C2;
    LONG Delta;
    DWORD Calibrated;
};
extern CalibrationCoefficients Calibration; /* lock while enabled (see driver/calibration/) */

/* ---- Click ---- */
struct ClickSettings {
    DWORD BeepEnabled;
    DWORD BeepFrequency;
    DWORD BeepDuration;
    HANDLE BeepSemaphore;
    HANDLE BeepStopEvent;
};
extern ClickSettings Click; /* lock for the callers; BeepThread reads it (see driver/click/) */
extern HANDLE BeepThread;   /* lock */
extern volatile LONG BeepThreadExit; /* shared: read by BeepThread */

/* ---- Controller ports ---- */
extern DWORD DataPort;   /* lock, except the stop inside ResetDriverState */
extern DWORD StatusPort; /* lock, same */

#endif /* TOUCH_DRIVER_DRIVER_STATE_H */
