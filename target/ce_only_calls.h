/*
 * The calls that only the board's kernel and device-driver kit provide, for
 * the cross-compiler check build: windows.h of a desktop toolchain lacks them.
 * platform/platform.h includes this after windows.h when _WIN32 is defined and
 * UNDER_CE is not; the board's own build gets the same calls from its SDK.
 *
 * Every call has C linkage and the C calling convention, as the board's x86
 * kernel exports them: WINAPI is __cdecl there, and the check build defines it
 * so (-DWINAPI=__cdecl) so that the desktop headers declare the same.
 * C++03.
 */
#ifndef TOUCH_TARGET_CE_ONLY_CALLS_H
#define TOUCH_TARGET_CE_ONLY_CALLS_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Logical interrupts ---- */
BOOL InterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID data, DWORD size);
void InterruptDone(DWORD sysIntr);
void InterruptDisable(DWORD sysIntr);

/* ---- Events: one call for set, reset and pulse ---- */
#ifndef EVENT_PULSE
#define EVENT_PULSE 1
#endif
#ifndef EVENT_RESET
#define EVENT_RESET 2
#endif
#ifndef EVENT_SET
#define EVENT_SET 3
#endif
BOOL EventModify(HANDLE event, DWORD function);

/* ---- Display rotation: the board names the unrotated state ---- */
#ifndef DMDO_0
#define DMDO_0 0
#endif

/* ---- Threads: priorities on the kernel's 0 (highest) to 255 scale ---- */
BOOL CeSetThreadPriority(HANDLE thread, int priority);
int CeGetThreadPriority(HANDLE thread);

/* ---- The calling thread ---- */
/* On the board GetCurrentThread is no kernel call: the SDK defines it as the
   pseudo-handle that names the calling thread.  The desktop headers declare
   an import instead, so it is redirected here to the board's value. */
#define CE_SYS_HANDLE_BASE 64
#define CE_SH_CURTHREAD 1
#undef GetCurrentThread
#define GetCurrentThread() ((HANDLE)(CE_SH_CURTHREAD + CE_SYS_HANDLE_BASE))

/* ---- Byte port I/O of the device-driver kit ---- */
UCHAR READ_PORT_UCHAR(PUCHAR port);
void WRITE_PORT_UCHAR(PUCHAR port, UCHAR value);

#ifdef __cplusplus
}
#endif

/* The board's kernel has no SetEvent, ResetEvent or PulseEvent of its own:
   they are EventModify.  The desktop headers declare them as imports, so they
   are redirected here and the library imports EventModify as on the board. */
#undef SetEvent
#undef ResetEvent
#undef PulseEvent
#define SetEvent(event) EventModify((event), EVENT_SET)
#define ResetEvent(event) EventModify((event), EVENT_RESET)
#define PulseEvent(event) EventModify((event), EVENT_PULSE)

#endif /* TOUCH_TARGET_CE_ONLY_CALLS_H */
