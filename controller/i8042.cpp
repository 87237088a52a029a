/*
 * Byte access to the i8042 keyboard controller's auxiliary channel.  Every
 * wait is a poll of the status register bounded by a 50 ms window (and, as a
 * backstop against a tick counter that does not move, by a number of tests),
 * yielding the rest of the time slice between tests.  C++03.
 */
#include "controller/controller.h"
#include "driver/driver_state.h"

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

typedef BOOL (*StatusTest)(void);

static UCHAR ReadStatus(void) {
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(StatusPort)));
}

static UCHAR ReadDataPort(void) {
    return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(DataPort)));
}

static void WritePort(DWORD port, UCHAR value) {
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(port)), value);
}

static BOOL OutputBufferFull(void) {
    return (ReadStatus() & I8042_STATUS_OUTPUT_FULL) != 0;
}

/* Keyboard bytes (output full, auxiliary bit clear) are never taken. */
static BOOL AuxDataWaiting(void) {
    const UCHAR aux = I8042_STATUS_OUTPUT_FULL | I8042_STATUS_AUX_DATA;
    return (ReadStatus() & aux) == aux;
}

/* The poll window: the elapsed time is taken before every test, the first
   included, as an unsigned difference that survives the tick counter's wrap.
   The test still counts at exactly I8042_POLL_WINDOW_MS. */
static BOOL PollUntil(StatusTest ready) {
    const DWORD start = GetTickCount();
    for (DWORD tests = 0; tests < I8042_POLL_MAX_TESTS; ++tests) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed > I8042_POLL_WINDOW_MS) {
            return FALSE;
        }
        if (ready()) {
            return TRUE;
        }
        Sleep(0);
    }
    return FALSE;
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
    if (!PollUntil(InputBufferEmpty)) {
        return FALSE;
    }
    WritePort(DataPort, value);
    return TRUE;
}

BOOL WriteCommand(UCHAR command) {
    if (!PollUntil(InputBufferEmpty)) {
        return FALSE;
    }
    WritePort(StatusPort, command);
    return TRUE;
}

BOOL ReadData(UCHAR* value) {
    if (!PollUntil(OutputBufferFull)) {
        return FALSE;
    }
    *value = ReadDataPort();
    return TRUE;
}

BOOL ReadAuxData(UCHAR* value) {
    if (!PollUntil(AuxDataWaiting)) {
        return FALSE;
    }
    *value = ReadDataPort();
    return TRUE;
}

BOOL SendAuxByte(UCHAR value) {
    UCHAR acknowledge = 0;
    if (!WriteCommand(I8042_WRITE_TO_AUX) || !WriteData(value) || !ReadAuxData(&acknowledge)) {
        return FALSE;
    }
    return acknowledge == AUX_ACKNOWLEDGE;
}

BOOL ReadCommandByte(UCHAR* value) {
    return WriteCommand(I8042_READ_COMMAND_BYTE) && ReadData(value);
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
