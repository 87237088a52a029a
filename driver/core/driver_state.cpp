/*
 * Definitions of the driver's shared state, with the values it has when the
 * library is mapped.  C++03.
 */
#include "driver/core/driver_state.h"

volatile LONG AttachCount = -1;

CRITICAL_SECTION DriverLock;
volatile LONG DriverLockReady = 0;
volatile LONG DriverEntryCount = 0;
HANDLE TouchEvent = NULL;
HANDLE CalibrationDoneEvent = NULL;
HANDLE SampleThread = NULL;
volatile LONG SampleThreadExit = 0;
volatile LONG SampleThreadGeneration = 0;
PFN_TOUCH_PANEL_CALLBACK TouchCallback = NULL;
DWORD SysIntr = 0;
DWORD SampleRate = 0;
DWORD NormalPriority = 0;
DWORD HighPriority = 0;

volatile LONG DisplayOrientation = DMDO_0;
volatile LONG CursorTracking = 1;
volatile LONG DisplayWidth = 0;
volatile LONG DisplayHeight = 0;

volatile LONG SampleTimeout = static_cast<LONG>(INFINITE);
DWORD PenWasDown = 0;
USHORT LastX = 0;
USHORT LastY = 0;

DWORD CaptureState = CaptureIdle;
HANDLE CaptureActivityEvent = NULL;

CalibrationCoefficients Calibration = {0, 0, 0, 0, 0, 0, 0, 0};

/* Click off, with its default tone (1500 Hz) and length (50 ms). */
ClickSettings Click = {0, 1500, 50, NULL, NULL};
HANDLE BeepThread = NULL;
volatile LONG BeepThreadExit = 0;

DWORD DataPort = 0;
DWORD StatusPort = 0;
