/*
 * The sample thread: the driver's interrupt service thread and the only
 * producer of touch samples.  C++03.
 */
#ifndef TOUCH_SAMPLING_SAMPLE_THREAD_H
#define TOUCH_SAMPLING_SAMPLE_THREAD_H

#include "platform/platform.h"

/* Thread routine started by TouchPanelEnable with a null parameter. */
DWORD SampleThreadProc(LPVOID parameter);

/* One sample from the controller; DriverLock held.  Gives exactly one of
   0x03 (pen down, new position), 0x01 (pen up, last position) or 0x10. */
void AcquireSample(DWORD* flags, INT* rawX, INT* rawY);

#endif /* TOUCH_SAMPLING_SAMPLE_THREAD_H */
