/*
 * The click beeper: a short tone on the PC speaker (8254 channel 2 and
 * port 0x61) at every new pen-down, sounded by its own thread.  C++03.
 */
#ifndef TOUCH_CLICK_CLICK_H
#define TOUCH_CLICK_CLICK_H

#include "platform/platform.h"

BOOL ClickSetup(void);
void ClickTeardown(void);
void ClickTrigger(void);
DWORD BeepThreadProc(LPVOID settings);

#endif /* TOUCH_CLICK_CLICK_H */
