/*
 * The touch controller's framed command protocol, its start-up sequence and
 * the reader of its report packets.  C++03.
 */
#include "driver/controller/controller.h"
#include "driver/core/driver_state.h"

/* ---- Command and reply frames ---- */
#define FRAME_HEADER 0x0A
#define FRAME_MAX_LENGTH 2  /* command and argument */
#define FRAME_FIXED_BYTES 2 /* header and length, before the counted bytes */

/* ---- Start-up sequence ---- */
#define COMMAND_A 0x41
#define COMMAND_D 0x44
#define COMMAND_E 0x45
#define COMMAND_C 0x43
#define COMMAND_C_ARGUMENTS 64 /* 'C' is sent once for each argument 0 to 63 */
#define LENGTH_COMMAND_ONLY 1
#define LENGTH_WITH_ARGUMENT 2

/* ---- Report packet ---- */
#define PACKET_BASE_SIZE 5
#define PACKET_SYNC 0x80          /* byte 0: must be set; bytes 1 to 4: must be clear */
#define PACKET_SIXTH_BYTE 0x60    /* byte 0: either bit set means a sixth byte follows */
#define PACKET_TOUCHING 0x01      /* byte 0: the panel is touched */
#define PACKET_COORDINATE_SHIFT 7 /* each coordinate is two 7-bit halves */

static UCHAR CommandFrame[CONTROLLER_FRAME_BUFFER_SIZE];
static UCHAR ReportPacket[REPORT_PACKET_MAX_SIZE];

static void ClearBuffers(void) {
    for (DWORD i = 0; i < CONTROLLER_FRAME_BUFFER_SIZE; ++i) {
        CommandFrame[i] = 0;
    }
    for (DWORD i = 0; i < REPORT_PACKET_MAX_SIZE; ++i) {
        ReportPacket[i] = 0;
    }
}

static BOOL SendFrame(DWORD byteCount) {
    for (DWORD i = 0; i < byteCount; ++i) {
        if (!SendAuxByte(CommandFrame[i])) {
            return FALSE;
        }
    }
    return TRUE;
}

/* Only the header and the echo of a reply are checked; its payload is read
   and dropped. */
static BOOL ReadReply(UCHAR command) {
    UCHAR header = 0;
    UCHAR length = 0;
    UCHAR echo = 0;
    if (!ReadAuxData(&header) || header != FRAME_HEADER) {
        return FALSE;
    }
    if (!ReadAuxData(&length) || !ReadAuxData(&echo) || echo != command) {
        return FALSE;
    }
    /* length counts the echo and the payload; at most 254 payload bytes. */
    for (DWORD i = 1; i < length; ++i) {
        UCHAR payload = 0;
        if (!ReadAuxData(&payload)) {
            return FALSE;
        }
    }
    return TRUE;
}

BOOL SendControllerCommand(UCHAR length, UCHAR command, UCHAR argument) {
    if (length > FRAME_MAX_LENGTH) {
        return FALSE;
    }
    CommandFrame[0] = FRAME_HEADER;
    CommandFrame[1] = length;
    CommandFrame[2] = command;
    CommandFrame[3] = (length == LENGTH_WITH_ARGUMENT) ? argument : 0;
    if (!SendFrame(static_cast<DWORD>(length) + FRAME_FIXED_BYTES)) {
        return FALSE;
    }
    return ReadReply(command);
}

static BOOL SendStartupCommands(void) {
    if (!SendControllerCommand(LENGTH_COMMAND_ONLY, COMMAND_A, 0) ||
        !SendControllerCommand(LENGTH_COMMAND_ONLY, COMMAND_D, 0) ||
        !SendControllerCommand(LENGTH_COMMAND_ONLY, COMMAND_E, 0)) {
        return FALSE;
    }
    for (UCHAR argument = 0; argument < COMMAND_C_ARGUMENTS; ++argument) {
        if (!SendControllerCommand(LENGTH_WITH_ARGUMENT, COMMAND_C, argument)) {
            return FALSE;
        }
    }
    return TRUE;
}

/* A base of 0 or one whose status port lies outside the I/O space is refused
   before any port is touched.  Bytes still waiting from before (a report
   that was streaming at the last stop) would be taken for acknowledges, so
   they are drained first. */
BOOL ControllerStart(DWORD ioBase) {
    ClearBuffers();
    if (!PortBaseUsable(ioBase)) {
        return FALSE;
    }
    SetPorts(ioBase);
    DrainAuxData();
    if (!SendStartupCommands()) {
        return FALSE;
    }
    return EnableAuxInterrupt();
}

/* Before any start no port base is known: the hardware is left alone, since
   this driver has switched nothing on there. */
void ControllerStop(void) {
    if (DataPort != 0) {
        DisableAuxInterrupt();
    }
    SysIntr = 0;
}

static BOOL PacketByteFits(DWORD index, UCHAR value) {
    if (index == 0) {
        return (value & PACKET_SYNC) != 0;
    }
    if (index < PACKET_BASE_SIZE) {
        return (value & PACKET_SYNC) == 0;
    }
    return TRUE;
}

static DWORD Coordinate(UCHAR high, UCHAR low) {
    return (static_cast<DWORD>(high) << PACKET_COORDINATE_SHIFT) | low;
}

/* Each byte has its own window.  A broken packet consumes the bytes it took;
   the next call starts at byte 0 again and refuses bytes without the sync bit
   as first bytes, which puts the reader back in step with the stream. */
BOOL ReadTouchReport(TouchReport* report) {
    DWORD expected = PACKET_BASE_SIZE;
    for (DWORD i = 0; i < expected; ++i) {
        UCHAR value = 0;
        if (!ReadAuxData(&value) || !PacketByteFits(i, value)) {
            return FALSE;
        }
        if (i == 0 && (value & PACKET_SIXTH_BYTE) != 0) {
            expected = REPORT_PACKET_MAX_SIZE;
        }
        ReportPacket[i] = value;
    }
    report->Touching = static_cast<UCHAR>(ReportPacket[0] & PACKET_TOUCHING);
    report->X = Coordinate(ReportPacket[1], ReportPacket[2]);
    report->Y = Coordinate(ReportPacket[3], ReportPacket[4]);
    return TRUE;
}
