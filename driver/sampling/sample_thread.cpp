/*
 * The sample thread: waits on TouchEvent, acquires one sample under
 * DriverLock, works out the pen transition flags, clicks on a new pen-down,
 * and hands the sample to a pending calibration capture or, transformed and
 * clamped to the display as it is known at that moment, to the GWES
 * callback.  Interrupt-driven while the pen is up, polled every
 * 1000 / SampleRate ms while it is down.  C++03.
 */
#include "driver/sampling/sample_thread.h"
#include "driver/calibration/calibration.h"
#include "driver/click/click.h"
#include "driver/controller/controller.h"
#include "driver/core/driver_state.h"
#include "driver/core/touch_driver.h"

#define MILLISECONDS_PER_SECOND 1000

/* State of one sample thread, set when it starts. */
struct SampleThreadState {
    LONG Generation;         /* SampleThreadGeneration when the thread started */
    HANDLE Event;            /* TouchEvent of the enable that started the thread */
    BOOL PreviousSampleDown; /* the latest valid sample carried TouchSampleDownFlag */
};

/* The poll interval while the pen is down.  SampleRate is set by every enable
   before the thread exists; the driver's own rate stands in should it be 0. */
static DWORD PenDownPollInterval(void) {
    const DWORD rate = SampleRate != 0 ? SampleRate : TOUCH_SAMPLE_RATE;
    return MILLISECONDS_PER_SECOND / rate;
}

/* The interrupt stays unacknowledged: the thread polls until the pen is up. */
static void TakePenDown(const TouchReport& report, DWORD* flags, INT* rawX, INT* rawY) {
    LastX = static_cast<USHORT>(report.X);
    LastY = static_cast<USHORT>(report.Y);
    *rawX = LastX;
    *rawY = LastY;
    SharedWriteDword(&SampleTimeout, PenDownPollInterval());
    *flags = TouchSampleValidFlag | TouchSampleDownFlag;
    PenWasDown = 1;
}

/* A pen-up sample at the last pen-down position, or nothing when the pen was
   already up; either way the interrupt is re-armed. */
static void TakePenUp(DWORD* flags, INT* rawX, INT* rawY) {
    if (PenWasDown != 0) {
        *rawX = LastX;
        *rawY = LastY;
        *flags = TouchSampleValidFlag;
    }
    SharedWriteDword(&SampleTimeout, INFINITE);
    InterruptDone(SysIntr);
    PenWasDown = 0;
}

/* The controller's interrupt is raised only for a byte in the i8042's output
   buffer.  A wake while the pen is up that finds no touch controller byte
   there is a stale edge (latched from the last report's bytes while the
   interrupt was unacknowledged, and delivered when it was re-armed) or the
   disable's signal: there is nothing to read. */
static BOOL NothingToRead(void) {
    return PenWasDown == 0 && !AuxBytePending();
}

void AcquireSample(DWORD* flags, INT* rawX, INT* rawY) {
    if (flags == NULL || rawX == NULL || rawY == NULL) {
        return;
    }
    *flags = TouchSampleIgnore;
    TouchReport report;
    if (!NothingToRead() && ReadTouchReport(&report) && report.Touching == 1) {
        TakePenDown(report, flags, rawX, rawY);
    } else {
        TakePenUp(flags, rawX, rawY);
    }
}

LONG ClampLimit(LONG displaySize) {
    if (displaySize <= 0 || displaySize > CLAMP_MAX_DISPLAY_SIZE) {
        return 0;
    }
    return displaySize * QUARTER_PIXELS_PER_PIXEL;
}

/* Above the limit the position becomes the last pixel's quarter-pixel
   origin. */
INT ClampScreenCoordinate(INT value, LONG limit) {
    if (value < 0) {
        return 0;
    }
    if (limit != 0 && value >= limit) {
        return limit - QUARTER_PIXELS_PER_PIXEL;
    }
    return value;
}

/* Mirrored coordinates are size - position, in unsigned arithmetic so that any
   size the caller gave wraps rather than overflows. */
void CursorPosition(INT screenX, INT screenY, LONG orientation, LONG width, LONG height,
                    INT* cursorX, INT* cursorY) {
    const DWORD px = static_cast<DWORD>(screenX / QUARTER_PIXELS_PER_PIXEL);
    const DWORD py = static_cast<DWORD>(screenY / QUARTER_PIXELS_PER_PIXEL);
    const DWORD w = static_cast<DWORD>(width);
    const DWORD h = static_cast<DWORD>(height);
    DWORD x = px;
    DWORD y = py;
    if (orientation == DMDO_90) {
        x = h - py;
        y = px;
    } else if (orientation == DMDO_180) {
        x = w - px;
        y = h - py;
    } else if (orientation == DMDO_270) {
        x = py;
        y = w - px;
    }
    *cursorX = static_cast<INT>(x);
    *cursorY = static_cast<INT>(y);
}

static void PlaceCursor(INT screenX, INT screenY) {
    INT x = 0;
    INT y = 0;
    CursorPosition(screenX, screenY, SharedRead(&DisplayOrientation), SharedRead(&DisplayWidth),
                   SharedRead(&DisplayHeight), &x, &y);
    SetCursorPos(x, y);
}

/* TouchSamplePreviousDownFlag from the previous valid sample of this
   thread. */
static DWORD TrackPreviousDown(SampleThreadState* state, DWORD flags) {
    if (state->PreviousSampleDown) {
        flags |= TouchSamplePreviousDownFlag;
    } else {
        flags &= ~static_cast<DWORD>(TouchSamplePreviousDownFlag);
    }
    state->PreviousSampleDown = (flags & TouchSampleDownFlag) != 0;
    return flags;
}

static BOOL IsNewPenDown(DWORD flags) {
    const DWORD transition = TouchSampleDownFlag | TouchSamplePreviousDownFlag;
    return (flags & transition) == TouchSampleDownFlag;
}

/* Outside DriverLock, so that the callback may call entry points.  The
   display size is the one known now: the calibration screen may have told it
   since the thread started. */
static void Deliver(PFN_TOUCH_PANEL_CALLBACK callback, DWORD flags, INT screenX, INT screenY) {
    const INT x = ClampScreenCoordinate(screenX, ClampLimit(SharedRead(&DisplayWidth)));
    const INT y = ClampScreenCoordinate(screenY, ClampLimit(SharedRead(&DisplayHeight)));
    if (SharedRead(&CursorTracking) != 0) {
        PlaceCursor(x, y);
    }
    callback(flags, x, y);
}

static void RunPass(SampleThreadState* state) {
    DWORD flags = TouchSampleIgnore;
    INT rawX = 0;
    INT rawY = 0;
    EnterCriticalSection(&DriverLock);
    AcquireSample(&flags, &rawX, &rawY);
    if ((flags & TouchSampleIgnore) != 0) {
        LeaveCriticalSection(&DriverLock);
        return;
    }
    flags = TrackPreviousDown(state, flags);
    if (IsNewPenDown(flags) && Click.BeepEnabled != 0) {
        ClickTrigger();
    }
    if (CaptureState != CaptureIdle) {
        CaptureFeedSample(flags, rawX, rawY);
        LeaveCriticalSection(&DriverLock);
        return;
    }
    const PFN_TOUCH_PANEL_CALLBACK callback = TouchCallback;
    if (callback == NULL) {
        LeaveCriticalSection(&DriverLock);
        return;
    }
    INT32 screenX = 0;
    INT32 screenY = 0;
    CalibrateUnderLock(rawX, rawY, &screenX, &screenY);
    flags |= TouchSampleIsCalibratedFlag;
    LeaveCriticalSection(&DriverLock);
    Deliver(callback, flags, screenX, screenY);
}

static void StartThreadState(SampleThreadState* state) {
    state->Generation = SharedRead(&SampleThreadGeneration);
    state->Event = TouchEvent;
    state->PreviousSampleDown = FALSE;
}

/* A later enable has started its own thread: this one must not touch the
   lock or the events any more. */
static BOOL Superseded(const SampleThreadState& state) {
    return SharedRead(&SampleThreadGeneration) != state.Generation;
}

static BOOL ThreadShouldEnd(const SampleThreadState& state) {
    return SharedRead(&SampleThreadExit) != 0 || Superseded(state);
}

/* The service loop runs for the life of the enable: it ends only through
   SampleThreadExit or a later enable's generation, tested after every pass. */
DWORD WINAPI SampleThreadProc(LPVOID parameter) {
    (void)parameter;
    SampleThreadState state;
    StartThreadState(&state);
    while (!ThreadShouldEnd(state)) {
        WaitForSingleObject(state.Event, SharedReadDword(&SampleTimeout));
        if (Superseded(state)) {
            break;
        }
        RunPass(&state);
    }
    ExitThread(SAMPLE_THREAD_EXIT_CODE);
    return SAMPLE_THREAD_EXIT_CODE;
}
