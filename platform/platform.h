/*
 * The platform services the touch driver uses: kernel objects, threads,
 * logical interrupts, ticks, registry, last error, display and cursor, and
 * byte port I/O.  This is the one header the driver folders include.
 *
 * The switch between the real platform and the hosted one lives here and
 * nowhere else:
 *   UNDER_CE  - the board's own build: the platform SDK headers.
 *   _WIN32    - the cross-compiler check build: Windows headers plus the few
 *               calls that only the target kernel has.
 *   otherwise - the hosted platform that runs the driver on Linux.
 *
 * Written in C++03: the board's compiler predates C++11.
 */
#ifndef TOUCH_PLATFORM_PLATFORM_H
#define TOUCH_PLATFORM_PLATFORM_H

#if defined(UNDER_CE)
/* windows.h first: the other platform headers build on its types. */
#include <windows.h>

#include <ceddk.h>
#include <tchddi.h>
#define TOUCH_EXPORT
#elif defined(_WIN32)
#include <windows.h>

#include "platform/touch_ddi.h"
#include "target/ce_only_calls.h"
#define TOUCH_EXPORT
#else
#include "platform/hosted/win32.h"
#include "platform/touch_ddi.h"
#define TOUCH_EXPORT __attribute__((visibility("default")))
#endif

#endif /* TOUCH_PLATFORM_PLATFORM_H */
