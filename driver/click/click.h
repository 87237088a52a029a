/*
 * The click beeper: a short tone on the PC speaker (8254 channel 2 and
 * port 0x61) at every new pen-down, sounded by its own thread.  C++03.
 */
#ifndef TOUCH_CLICK_CLICK_H
#define TOUCH_CLICK_CLICK_H

#include "platform/platform.h"

/* The platform's calling convention of thread routines; empty on the hosted
   platform. */
#ifndef WINAPI
#define WINAPI
#endif

/* Reads the click settings and starts the BeepThread.  TRUE when clicks are
   on; FALSE leaves them off with nothing created.  DriverLock held. */
BOOL ClickSetup(void);
/* Stops the BeepThread, waiting (bounded) for it to leave with the speaker
   off, releases what ClickSetup created and restores the default settings.
   Does nothing while clicks are off.  DriverLock held. */
void ClickTeardown(void);
/* Queues one click and cuts a sounding one short; does nothing while clicks
   are off.  Never blocks.  DriverLock held. */
void ClickTrigger(void);
/* Runs the BeepThread at `priority`, so that a click ends on time even while
   a thread of that priority polls the controller; does nothing while clicks
   are off.  DriverLock held. */
void ClickSetPriority(DWORD priority);
/* The BeepThread; its argument is the ClickSettings record. */
DWORD WINAPI BeepThreadProc(LPVOID settings);

#endif /* TOUCH_CLICK_CLICK_H */
