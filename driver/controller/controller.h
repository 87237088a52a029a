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

/* Every wait on the i8042 tests its status for as long as no more than this
   has passed since the wait began. */
#define I8042_POLL_WINDOW_MS 50
/* Backstop for a tick counter that does not move: no wait tests the status
   more often than this (an ISA status read alone takes about 1 us, so the
   window always ends first). */
#define I8042_POLL_MAX_TESTS 1000000
/* Touch controller bytes left over from before a start (a report that was
   streaming when the driver was last stopped) are read and dropped while each
   arrives within this many ms of the previous one, at most this many. */
#define CONTROLLER_DRAIN_QUIET_MS 3
#define CONTROLLER_DRAIN_MAX_BYTES 64
/* A wait that finds a keyboard byte in the output buffer sleeps this long
   between its tests, so that the keyboard driver, at any priority, gets the
   processor to take the byte. */
#define I8042_KEYBOARD_BYTE_WAIT_MS 1
/* The command byte is read only once the keyboard interface has been off for
   longer than this: a keyboard byte already on the wire has arrived by then
   (one PS/2 byte takes at most 1.1 ms, at the slowest standard clock). */
#define I8042_KEYBOARD_SETTLE_MS 2
/* Attempts at one read-modify-write of the command byte whose answer did not
   come or was not the answer. */
#define I8042_COMMAND_BYTE_ATTEMPTS 3
/* Thread priorities run from 0, the highest, to 255.  The caller of a
   read-modify-write of the command byte holds the highest from the read to
   the write. */
#define KERNEL_HIGHEST_PRIORITY 0
#define KERNEL_LOWEST_PRIORITY 255
#define I8042_EXCLUSIVE_PRIORITY KERNEL_HIGHEST_PRIORITY
/* x86 I/O space ends here; the status port (base + 4) must lie within it. */
#define I8042_HIGHEST_PORT 0xFFFF

/* Sizes of the module's frame and packet buffers. */
#define CONTROLLER_FRAME_BUFFER_SIZE 17
#define REPORT_PACKET_MAX_SIZE 6

/* Offered to the rest of the driver. */
BOOL ControllerStart(DWORD ioBase);
void ControllerStop(void);
BOOL ReadTouchReport(TouchReport* report);

/* The i8042 operations beneath them. */
void SetPorts(DWORD ioBase);
/* A base the driver may talk to: not 0 (no base known; ports 0x00-0x0F are
   the DMA controller's) and with its status port inside the I/O space. */
BOOL PortBaseUsable(DWORD ioBase);
BOOL WriteData(UCHAR value);
BOOL WriteCommand(UCHAR command);
BOOL ReadAuxData(UCHAR* value);
/* One test of the status: a touch controller byte waits in the output
   buffer. */
BOOL AuxBytePending(void);
void DrainAuxData(void);
BOOL SendAuxByte(UCHAR value);
BOOL ReadCommandByte(UCHAR* value);
BOOL EnableAuxInterrupt(void);
BOOL DisableAuxInterrupt(void);
BOOL SendControllerCommand(UCHAR length, UCHAR command, UCHAR argument);

#endif /* TOUCH_CONTROLLER_CONTROLLER_H */
