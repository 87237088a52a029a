/*
 * Byte access to the i8042 keyboard controller's auxiliary channel.  Every
 * wait is a poll of the status register bounded by a window of 50 ms (and, as
 * a backstop against a tick counter that does not move, by a number of
 * tests), yielding the rest of the time slice between tests.  C++03.
 *
 * The i8042 is shared with the board's keyboard driver, which takes every
 * byte without the auxiliary bit at its own interrupt (IRQ 1):
 * - A keyboard byte waiting in the output buffer holds the touch
 *   controller's bytes back until the keyboard driver has taken it.  A wait
 *   that finds one sleeps between its tests instead of only yielding, so
 *   that the keyboard driver runs whatever its priority.
 * - The command byte is shared state.  Its read-modify-write holds the
 *   keyboard interface off, so that no key byte can come before the i8042's
 *   answer and be taken for it, and raises the calling thread to the
 *   kernel's highest priority from the read to the write, so that a keyboard
 *   interrupt thread woken by the answer (some i8042s raise IRQ 1 for it even
 *   with the keyboard interface off) cannot take it first.  The answer must
 *   show the keyboard interface off, or it is not the answer.
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
#define I8042_KEYBOARD_INTERFACE_OFF 0xAD
#define I8042_KEYBOARD_INTERFACE_ON 0xAE

/* ---- Bits of the i8042 controller command byte ---- */
#define I8042_CCB_AUX_INTERRUPT 0x02    /* auxiliary interrupt enable */
#define I8042_CCB_KEYBOARD_DISABLE 0x10 /* keyboard interface disable */
#define I8042_CCB_AUX_DISABLE 0x20      /* auxiliary device disable */

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

static BOOL KeyboardByteWaits(UCHAR status) {
    return (status & (I8042_STATUS_OUTPUT_FULL | I8042_STATUS_AUX_DATA)) ==
           I8042_STATUS_OUTPUT_FULL;
}

/* Between two tests of the status: the rest of the time slice, or, while a
   keyboard byte waits, long enough for the keyboard driver to take it (but
   never past the end of the window, which stays as long as it is). */
static void YieldBetweenTests(UCHAR status, DWORD elapsed, DWORD windowMs) {
    const BOOL room = elapsed + I8042_KEYBOARD_BYTE_WAIT_MS <= windowMs;
    Sleep(KeyboardByteWaits(status) && room ? I8042_KEYBOARD_BYTE_WAIT_MS : 0);
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
        YieldBetweenTests(*seen, elapsed, windowMs);
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

BOOL AuxBytePending(void) {
    const UCHAR aux = I8042_STATUS_OUTPUT_FULL | I8042_STATUS_AUX_DATA;
    return (ReadStatus() & aux) == aux;
}

/* Switches the keyboard interface off and waits until no keyboard byte can
   still come ahead of an answer: a byte already on the wire has had the time
   to arrive, and every keyboard byte waiting has been taken by the keyboard
   driver.  Touch controller bytes found meanwhile are left over from before
   (the controller is being started or stopped) and are dropped.  FALSE when
   a keyboard byte is not taken within the window (no keyboard driver runs);
   the keyboard interface is off either way. */
static BOOL HoldKeyboardOff(void) {
    if (!WriteCommand(I8042_KEYBOARD_INTERFACE_OFF)) {
        return FALSE;
    }
    const DWORD start = GetTickCount();
    for (DWORD tests = 0; tests < I8042_POLL_MAX_TESTS; ++tests) {
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed > I8042_POLL_WINDOW_MS) {
            return FALSE;
        }
        const UCHAR status = ReadStatus();
        if ((status & I8042_STATUS_OUTPUT_FULL) == 0 && elapsed > I8042_KEYBOARD_SETTLE_MS) {
            return TRUE;
        }
        if ((status & I8042_STATUS_OUTPUT_FULL) != 0 && !KeyboardByteWaits(status)) {
            ReadDataPort();
        }
        YieldBetweenTests(status, elapsed, I8042_POLL_WINDOW_MS);
    }
    return FALSE;
}

static BOOL PriorityValid(int priority) {
    return priority >= KERNEL_HIGHEST_PRIORITY && priority <= KERNEL_LOWEST_PRIORITY;
}

/* The calling thread at the kernel's highest priority; *previous receives the
   priority to go back to, or stays invalid when it cannot be read (the
   thread then keeps its priority). */
static void RaiseToExclusivePriority(int* previous) {
    const HANDLE self = GetCurrentThread();
    *previous = CeGetThreadPriority(self);
    if (PriorityValid(*previous)) {
        CeSetThreadPriority(self, I8042_EXCLUSIVE_PRIORITY);
    }
}

static void RestorePriority(int previous) {
    if (PriorityValid(previous)) {
        CeSetThreadPriority(GetCurrentThread(), previous);
    }
}

/* With the keyboard interface held off: the answer must show it off.  The
   value written back switches the keyboard interface on again. */
static BOOL RewriteCommandByte(UCHAR clearBits, UCHAR setBits) {
    UCHAR value = 0;
    if (!ReadCommandByte(&value) || (value & I8042_CCB_KEYBOARD_DISABLE) == 0) {
        return FALSE;
    }
    const UCHAR cleared = static_cast<UCHAR>(clearBits | I8042_CCB_KEYBOARD_DISABLE);
    return WriteCommandByte(static_cast<UCHAR>((value & ~cleared) | setBits));
}

/* One read-modify-write of the command byte; on failure the keyboard
   interface is switched on again.  *retry tells whether another attempt may
   fare better (an answer that did not come or was not the answer). */
static BOOL UpdateCommandByteOnce(UCHAR clearBits, UCHAR setBits, BOOL* retry) {
    *retry = FALSE;
    BOOL done = FALSE;
    if (HoldKeyboardOff()) {
        int previous = 0;
        RaiseToExclusivePriority(&previous);
        done = RewriteCommandByte(clearBits, setBits);
        RestorePriority(previous);
        *retry = !done;
    }
    if (!done) {
        WriteCommand(I8042_KEYBOARD_INTERFACE_ON);
    }
    return done;
}

static BOOL UpdateCommandByte(UCHAR clearBits, UCHAR setBits) {
    BOOL retry = TRUE;
    for (DWORD attempt = 0; attempt < I8042_COMMAND_BYTE_ATTEMPTS && retry; ++attempt) {
        if (UpdateCommandByteOnce(clearBits, setBits, &retry)) {
            return TRUE;
        }
    }
    return FALSE;
}

BOOL EnableAuxInterrupt(void) {
    return UpdateCommandByte(I8042_CCB_AUX_DISABLE, I8042_CCB_AUX_INTERRUPT);
}

/* Leaves the auxiliary device enabled (bit 5 as found): only its interrupt
   goes off. */
BOOL DisableAuxInterrupt(void) {
    return UpdateCommandByte(I8042_CCB_AUX_INTERRUPT, 0);
}
