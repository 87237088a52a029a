/*
 * The sample thread: the driver's interrupt service thread and the only
 * producer of touch samples.  C++03.
 */
#ifndef TOUCH_SAMPLING_SAMPLE_THREAD_H
#define TOUCH_SAMPLING_SAMPLE_THREAD_H

#include "platform/platform.h"

/* The platform's calling convention of thread routines (__stdcall on the x86
   target); empty on the hosted platform. */
#ifndef WINAPI
#define WINAPI
#endif

/* Thread routine started by TouchPanelEnable with a null parameter.  Ends by
   ExitThread with SAMPLE_THREAD_EXIT_CODE once SampleThreadExit is set or a
   later enable has raised SampleThreadGeneration. */
DWORD WINAPI SampleThreadProc(LPVOID parameter);
#define SAMPLE_THREAD_EXIT_CODE 1

/* Screen positions are quarter pixels. */
#define QUARTER_PIXELS_PER_PIXEL 4
/* Largest display size whose quarter-pixel clamp limit fits a signed 32-bit
   value; a size above it, or of 0 or less, leaves that axis without an upper
   clamp. */
#define CLAMP_MAX_DISPLAY_SIZE 0x1FFFFFFF

/* Upper clamp limit in quarter pixels for a display size in pixels; 0 for
   none. */
LONG ClampLimit(LONG displaySize);
/* A screen coordinate clamped to [0, limit - 4]; limit 0 clamps only below. */
INT ClampScreenCoordinate(INT value, LONG limit);
/* Cursor pixel position of a clamped quarter-pixel position under the display
   orientation and size. */
void CursorPosition(INT screenX, INT screenY, LONG orientation, LONG width, LONG height,
                    INT* cursorX, INT* cursorY);

/* One sample from the controller; DriverLock held.  Gives exactly one of
   0x03 (pen down, new position), 0x01 (pen up, last position) or 0x10. */
void AcquireSample(DWORD* flags, INT* rawX, INT* rawY);

#endif /* TOUCH_SAMPLING_SAMPLE_THREAD_H */
