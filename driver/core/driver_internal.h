/*
 * The driver core's internal operations: the steps of the enable and the
 * calibration target positions of the capability query.  C++03.
 */
#ifndef TOUCH_DRIVER_DRIVER_INTERNAL_H
#define TOUCH_DRIVER_DRIVER_INTERNAL_H

#include "platform/platform.h"

/* Creates both events, stops the controller, creates DriverLock, and leaves
   the driver uncalibrated with no capture pending.  FALSE when an event cannot
   be created; DriverLock does not exist then. */
BOOL ResetDriverState(void);

/* DisplayOrientation from the display query, CursorTracking from "Cursor". */
void ReadDisplaySettings(void);

/* SampleRate 400; "ioBase" and "sysIntr" from the touch key (created when
   missing); ControllerStart; SysIntr on success. */
BOOL ConfigureController(void);

/* "Priority256" and "HighPriority256", 109 when unreadable. */
void ReadThreadPriorities(DWORD* normalPriority, DWORD* highPriority);

/* Fills CalibrationX and CalibrationY from the point number and display size;
   FALSE with ERROR_INVALID_PARAMETER for a point number outside 0 to 4 (the
   centre is given then). */
BOOL CalibrationTargetPosition(TPDC_CALIBRATION_POINT* point);

/* Reads a 32-bit registry number (4-byte buffer, type not examined) into
 *value; a shorter value fills the low bytes of a zeroed number.  FALSE, with
 *value untouched, when the value cannot be read. */
BOOL ReadRegistryNumber(HKEY key, LPCWSTR name, DWORD* value);

#define CALIBRATION_POINT_COUNT 5
#define CALIBRATION_MARGIN_DIVISOR 20 /* margins are twice a twentieth of the size */
#define CALIBRATION_MARGIN_FACTOR 2

#endif /* TOUCH_DRIVER_DRIVER_INTERNAL_H */
