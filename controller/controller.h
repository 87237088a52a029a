/*
 * The touch controller on the i8042 auxiliary channel: byte access with
 * bounded polling, the controller's framed commands and start-up sequence,
 * and the report reader.  C++03.
 */
#ifndef TOUCH_CONTROLLER_CONTROLLER_H
#define TOUCH_CONTROLLER_CONTROLLER_H

#include "platform/platform.h"

/* One decoded controller report. */
struct TouchReport {
    UCHAR Touching; /* 1 while the panel is touched */
    DWORD X;        /* 0 to 16383 */
    DWORD Y;        /* 0 to 16383 */
};

/* Offered to the rest of the driver. */
BOOL ControllerStart(DWORD ioBase);
void ControllerStop(void);
BOOL ReadTouchReport(TouchReport* report);

/* The i8042 operations beneath them. */
void SetPorts(DWORD ioBase);
BOOL InputBufferEmpty(void);
BOOL WriteData(UCHAR value);
BOOL WriteCommand(UCHAR command);
BOOL ReadData(UCHAR* value);
BOOL ReadAuxData(UCHAR* value);
BOOL SendAuxByte(UCHAR value);
BOOL ReadCommandByte(UCHAR* value);
BOOL EnableAuxInterrupt(void);
BOOL DisableAuxInterrupt(void);
BOOL SendControllerCommand(UCHAR length, UCHAR command, UCHAR argument);

#endif /* TOUCH_CONTROLLER_CONTROLLER_H */
