/*
 * Byte access to the i8042 keyboard controller's auxiliary channel.  Every
 * wait is a poll of the status register bounded by a window of 50 ms (and, as
 * a backstop against a tick counter that does not move, by a number of
 * tests), yielding the rest of the time slice between tests.  C++03.
 */
#include "driver/controller/controller.h"
#include "driver/core/driver_state.h"

/* ---- i8042 status register ---- */
#define I8042_STATUS_OUTPUT_FULL 0x01 /* a byte waits on the data port */
#define I8042_STATUS_INPUT_FULL 0x02  /* the i8042 has not taken the last byte written */
#define I8042_STATUS_AUX_DATA 0x20    /* the waiting byte came from the auxiliary device */

/* ---- i8042 commands, written to the status/command port ---- */
#define I8042_READ_COMMAND_BYTE 0x20
#define I8042_WRITE_COMMAND_BYTE 0x60
#define I8042_WRITE_TO_AUX 0xD4

/* ---- Bits of the i8042 controller command byte ---- */
#define I8042_CCB_AUX_INTERRUPT 0x02 /* auxiliary interrupt enable */
#define I8042_CCB_AUX_DISABLE 0x20   /* auxiliary device disable */

/* The auxiliary device acknowledges every byte passed to it with this. */
#define AUX_ACKNOWLEDGE 0xFA

/* Distance from the data port to the status/command port. */
#define I8042_STATUS_PORT_OFFSET 4

static UCHAR ReadStatus(void) {
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(StatusPort)));
}

static UCHAR ReadDataPort(void) {
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(DataPort)));
}

static void WritePort(DWORD port, UCHAR value) {
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(port)), value);
}

/* The poll window: tests the status until (status AND mask) = wanted, for as
   long as no more than windowMs have passed.  The elapsed time is taken before
   every test, the first included, as an unsigned difference that survives the
   tick counter's wrap.  *seen receives the status that matched. */
static BOOL WaitForStatus(UCHAR mask, UCHAR wanted, DWORD windowMs, UCHAR* seen) {
    const DWORD start = GetTickCount();
    for (DWORD tests = 0; tests < I8042_POLL_MAX_TESTS; ++tests) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed > windowMs) {
            return FALSE;
        }
        *seen = ReadStatus();
        if ((*seen & mask) == wanted) {
            return TRUE;
        }
        Sleep(0);
    }
    return FALSE;
}

static BOOL WaitForInputEmpty(void) {
    UCHAR seen = 0;
    return WaitForStatus(I8042_STATUS_INPUT_FULL, 0, I8042_POLL_WINDOW_MS, &seen);
}

/* Keyboard bytes (output full, auxiliary bit clear) never match. */
static BOOL WaitForAuxData(DWORD windowMs) {
    const UCHAR aux = I8042_STATUS_OUTPUT_FULL | I8042_STATUS_AUX_DATA;
    UCHAR seen = 0;
    return WaitForStatus(aux, aux, windowMs, &seen);
}

void SetPorts(DWORD ioBase) {
    DataPort = ioBase;
    StatusPort = ioBase + I8042_STATUS_PORT_OFFSET;
}

BOOL PortBaseUsable(DWORD ioBase) {
    return ioBase != 0 && ioBase <= I8042_HIGHEST_PORT - I8042_STATUS_PORT_OFFSET;
}

BOOL InputBufferEmpty(void) {
    return (ReadStatus() & I8042_STATUS_INPUT_FULL) == 0;
}

BOOL WriteData(UCHAR value) {
    if (!WaitForInputEmpty()) {
        return FALSE;
    }
    WritePort(DataPort, value);
    return TRUE;
}

BOOL WriteCommand(UCHAR command) {
    if (!WaitForInputEmpty()) {
        return FALSE;
    }
    WritePort(StatusPort, command);
    return TRUE;
}

BOOL ReadData(UCHAR* value) {
    UCHAR seen = 0;
    if (!WaitForStatus(I8042_STATUS_OUTPUT_FULL, I8042_STATUS_OUTPUT_FULL, I8042_POLL_WINDOW_MS,
                       &seen)) {
        return FALSE;
    }
    *value = ReadDataPort();
    return TRUE;
}

BOOL ReadAuxData(UCHAR* value) {
    if (!WaitForAuxData(I8042_POLL_WINDOW_MS)) {
        return FALSE;
    }
    *value = ReadDataPort();
    return TRUE;
}

void DrainAuxData(void) {
    for (DWORD drained = 0; drained < CONTROLLER_DRAIN_MAX_BYTES; ++drained) {
        if (!WaitForAuxData(CONTROLLER_DRAIN_QUIET_MS)) {
            return;
        }
        ReadDataPort();
    }
}

BOOL SendAuxByte(UCHAR value) {
    UCHAR acknowledge = 0;
    if (!WriteCommand(I8042_WRITE_TO_AUX) || !WriteData(value) || !ReadAuxData(&acknowledge)) {
        return FALSE;
    }
    return acknowledge == AUX_ACKNOWLEDGE;
}

/* The answer comes from the i8042 itself.  A touch controller byte that
   waits in the output buffer (auxiliary bit set) is not it: such bytes are
   read and dropped, each in a window of its own, so that a report still
   streaming in is never taken for the command byte and written back. */
BOOL ReadCommandByte(UCHAR* value) {
    if (!WriteCommand(I8042_READ_COMMAND_BYTE)) {
        return FALSE;
    }
    for (DWORD dropped = 0; dropped <= CONTROLLER_DRAIN_MAX_BYTES; ++dropped) {
        UCHAR seen = 0;
        if (!WaitForStatus(I8042_STATUS_OUTPUT_FULL, I8042_STATUS_OUTPUT_FULL, I8042_POLL_WINDOW_MS,
                           &seen)) {
            return FALSE;
        }
        const UCHAR received = ReadDataPort();
        if ((seen & I8042_STATUS_AUX_DATA) == 0) {
            *value = received;
            return TRUE;
        }
    }
    return FALSE;
}

static BOOL WriteCommandByte(UCHAR value) {
    return WriteCommand(I8042_WRITE_COMMAND_BYTE) && WriteData(value);
}

BOOL EnableAuxInterrupt(void) {
    UCHAR value = 0;
    if (!ReadCommandByte(&value)) {
        return FALSE;
    }
    value = static_cast<UCHAR>((value & ~I8042_CCB_AUX_DISABLE) | I8042_CCB_AUX_INTERRUPT);
    return WriteCommandByte(value);
}

/* Leaves the auxiliary device enabled (bit 5 as found): only its interrupt
   goes off. */
BOOL DisableAuxInterrupt(void) {
    UCHAR value = 0;
    if (!ReadCommandByte(&value)) {
        return FALSE;
    }
    value = static_cast<UCHAR>(value & ~I8042_CCB_AUX_INTERRUPT);
    return WriteCommandByte(value);
}
