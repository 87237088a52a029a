/*
 * The driver's controller folder, built unchanged, against the i8042 and PS/2
 * mouse of the machine the image boots on.  Each case prints one line on the
 * debug console; the run exits failed if any case failed.  C++03,
 * freestanding.
 */
#include "driver/controller/controller.h"
#include "driver/core/driver_state.h"
#include "peers/baremetal/board.h"
#include "peers/baremetal/platform.h"

#define BOARD_I8042 0x60
#define I8042_STATUS 0x64
#define STATUS_OUTPUT_FULL 0x01

#define CMD_KEYBOARD_OFF 0xAD
#define CMD_READ_COMMAND_BYTE 0x20
#define CMD_WRITE_COMMAND_BYTE 0x60
#define CCB_TRANSLATE 0x40
#define CCB_AUX_INTERRUPT 0x02
#define CCB_AUX_DISABLE 0x20

#define MOUSE_GET_ID 0xF2
#define MOUSE_ID 0x00
#define AUX_IRQ 12

/* A start that fails on the first acknowledge takes the drain's quiet time
   and one poll window (55 ms here); a second window would take it past the
   upper bound, which leaves room for the host stalling the emulator. */
#define FAILED_START_MIN_MS I8042_POLL_WINDOW_MS
#define FAILED_START_MAX_MS (2 * I8042_POLL_WINDOW_MS - 10)

/* The key the host types: 'a' in scan-code set 1, make and break (the i8042
   translates). */
#define KEY_MAKE 0x1E
#define KEY_BREAK 0x9E
#define KEY_SETTLE_MS 20
#define KEY_LOG_SIZE 8

/* Bytes read and dropped before a case, at most. */
#define DRAIN_MAX_BYTES 64

static unsigned failures = 0;
static unsigned checks = 0;
static const char* currentCase = "";

static void Check(bool ok, const char* what, uint32_t seen) {
    ++checks;
    if (ok) {
        return;
    }
    ++failures;
    board_print("  FAIL ");
    board_print(currentCase);
    board_print(": ");
    board_print(what);
    board_print(" (saw 0x");
    board_print_hex(seen, 2);
    board_print(")\n");
}

static void BeginCase(const char* name) {
    currentCase = name;
    board_print("case ");
    board_print(name);
    board_print("\n");
}

/* The command byte as the helpers read it, with nobody else on IRQ 1. */
static UCHAR CommandByte(void) {
    UCHAR value = 0;
    Check(ReadCommandByte(&value) == TRUE, "the command byte is answered", value);
    return value;
}

static BOOL OutputBufferEmpty(void) {
    return (READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(I8042_STATUS)) & STATUS_OUTPUT_FULL) == 0;
}

static void DrainEverything(void) {
    for (unsigned i = 0; i < DRAIN_MAX_BYTES && !OutputBufferEmpty(); ++i) {
        READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(BOARD_I8042));
        Sleep(1);
    }
}

static BOOL WriteCommandByte(UCHAR value) {
    return WriteCommand(CMD_WRITE_COMMAND_BYTE) && WriteData(value);
}

static void CommandByteRoundTrip(void) {
    BeginCase("command byte read and written back");
    const UCHAR firmware = CommandByte();
    const UCHAR written = static_cast<UCHAR>(firmware ^ CCB_TRANSLATE);
    Check(WriteCommandByte(written), "the write is taken", 0);
    const UCHAR readBack = CommandByte();
    Check(readBack == written, "the written value reads back", readBack);
    Check(WriteCommandByte(firmware), "the firmware's value is put back", 0);
    const UCHAR restored = CommandByte();
    Check(restored == firmware, "the firmware's value reads back", restored);
}

static void AuxByteAndAnswer(void) {
    BeginCase("a byte to the mouse and its answer");
    Check(SendAuxByte(MOUSE_GET_ID) == TRUE, "0xF2 is acknowledged with 0xFA", 0);
    UCHAR id = 0xFF;
    Check(ReadAuxData(&id) == TRUE && id == MOUSE_ID, "the mouse's id follows", id);
    Check(OutputBufferEmpty() == TRUE, "nothing else waits", 0);
}

/* IRQ 12 counted through the 8259: one per byte with the interrupt on, none
   with it off; the priority is raised around each read-modify-write and put
   back. */
static void AuxInterruptOnAndOff(void) {
    BeginCase("auxiliary interrupt on and off");
    const UCHAR before = CommandByte();
    const unsigned sets = PrioritySets();
    Check(EnableAuxInterrupt() == TRUE, "EnableAuxInterrupt", 0);
    const UCHAR enabled = CommandByte();
    const UCHAR expected = static_cast<UCHAR>((before & ~CCB_AUX_DISABLE) | CCB_AUX_INTERRUPT);
    Check(enabled == expected, "interrupt bit set, aux enabled, the rest kept", enabled);
    Check(PrioritySets() - sets == 2 && HighestPrioritySet() == KERNEL_HIGHEST &&
              CurrentPriority() == THREAD_PRIORITY_NORMAL_256,
          "the priority raised to the highest and put back", CurrentPriority());

    uint32_t irqs = board_irq_count(AUX_IRQ);
    UCHAR id = 0xFF;
    Check(SendAuxByte(MOUSE_GET_ID) && ReadAuxData(&id), "the mouse answers", id);
    Sleep(2);
    Check(board_irq_count(AUX_IRQ) - irqs == 2, "one IRQ 12 per byte",
          board_irq_count(AUX_IRQ) - irqs);

    Check(DisableAuxInterrupt() == TRUE, "DisableAuxInterrupt", 0);
    const UCHAR disabled = CommandByte();
    Check(disabled == (enabled & ~CCB_AUX_INTERRUPT), "only the interrupt bit cleared", disabled);
    irqs = board_irq_count(AUX_IRQ);
    Check(SendAuxByte(MOUSE_GET_ID) && ReadAuxData(&id), "the mouse still answers", id);
    Sleep(2);
    Check(board_irq_count(AUX_IRQ) == irqs, "no IRQ 12 with the interrupt off",
          board_irq_count(AUX_IRQ) - irqs);
    Check(WriteCommandByte(before), "the command byte is put back", 0);
}

/* A PS/2 mouse does not speak the touch protocol: the first framed byte gets
   no acknowledge and the start gives up after one poll window. */
static void StartFailsAgainstMouse(void) {
    BeginCase("ControllerStart against a PS/2 mouse fails cleanly");
    const UCHAR before = CommandByte();
    const DWORD start = GetTickCount();
    const BOOL started = ControllerStart(BOARD_I8042);
    const DWORD took = GetTickCount() - start;
    board_print("  the start returned after ");
    board_print_dec(took);
    board_print(" ms\n");
    Check(started == FALSE, "the start fails", started);
    Check(took >= FAILED_START_MIN_MS && took <= FAILED_START_MAX_MS,
          "within its poll windows (ms)", took);
    Check(OutputBufferEmpty() == TRUE, "nothing left in the output buffer", 0);
    Sleep(5);
    Check(OutputBufferEmpty() == TRUE, "nothing arrives after it", 0);
    const UCHAR after = CommandByte();
    Check(after == before, "the command byte unchanged", after);
}

static void UnusablePortBasesRefused(void) {
    BeginCase("unusable port bases refused without a port access");
    static const DWORD bases[] = {0, 0x10000 - 4, 0x10000};
    for (unsigned i = 0; i < sizeof bases / sizeof bases[0]; ++i) {
        const unsigned accesses = PortAccesses();
        Check(ControllerStart(bases[i]) == FALSE, "the start fails", bases[i] >> 8);
        Check(PortAccesses() == accesses, "no port touched", PortAccesses() - accesses);
    }
    SetPorts(BOARD_I8042);
}

/* ---- A key typed at the driver's read-modify-write of the command byte ---- */

static UCHAR keyTrigger = 0;
static bool keyTyped = false;

/* Before the trigger command reaches the i8042: the host types a key while
   interrupts are off, so that its make code waits in the output buffer (or in
   the keyboard's queue) when the command arrives. */
static void BeforeWrite(uint16_t port, uint8_t value) {
    if (port == I8042_STATUS && value == keyTrigger && !keyTyped) {
        board_interrupts_off();
        board_type_key();
        keyTyped = true;
    }
}

static void AfterWrite(uint16_t port, uint8_t value) {
    if (port == I8042_STATUS && value == keyTrigger && keyTyped) {
        board_interrupts_on();
        keyTrigger = 0;
    }
}

static void KeyAtReadModifyWrite(const char* name, UCHAR trigger, bool stop) {
    BeginCase(name);
    DrainEverything();
    if (stop) {
        Check(EnableAuxInterrupt() == TRUE, "the start's read-modify-write", 0);
    }
    board_keyboard_reader(0);
    const UCHAR before = CommandByte();
    const uint32_t keysBefore = board_keyboard_bytes(0, 0);
    board_keyboard_reader(1);
    keyTrigger = trigger;
    keyTyped = false;
    SetPortWriteHooks(BeforeWrite, AfterWrite);
    BOOL done = TRUE;
    if (stop) {
        ControllerStop();
    } else {
        done = EnableAuxInterrupt();
    }
    SetPortWriteHooks(0, 0);
    Sleep(KEY_SETTLE_MS);
    Check(keyTyped, "the key was typed at the command", trigger);
    Check(done == TRUE, "the read-modify-write succeeds", done);
    board_keyboard_reader(0);
    const UCHAR after = CommandByte();
    const UCHAR expected =
        stop ? static_cast<UCHAR>(before & ~CCB_AUX_INTERRUPT)
             : static_cast<UCHAR>((before & ~CCB_AUX_DISABLE) | CCB_AUX_INTERRUPT);
    Check(after == expected, "the command byte preserved", after);
    uint8_t keys[KEY_LOG_SIZE] = {0};
    const uint32_t taken = board_keyboard_bytes(keys, sizeof keys);
    Check(taken - keysBefore == 2, "two key bytes reached the keyboard side", taken - keysBefore);
    if (taken >= keysBefore + 2) {
        Check(keys[keysBefore] == KEY_MAKE && keys[keysBefore + 1] == KEY_BREAK,
              "make then break, unchanged", keys[keysBefore]);
    }
    Check(WriteCommandByte(before), "the command byte is put back", 0);
}

extern "C" void board_main(void) {
    board_print("runner: the driver's controller folder on this machine's i8042\n");
    board_keyboard_reader(0);
    SetPorts(BOARD_I8042);
    DrainEverything();
    CommandByteRoundTrip();
    AuxByteAndAnswer();
    AuxInterruptOnAndOff();
    StartFailsAgainstMouse();
    UnusablePortBasesRefused();
    KeyAtReadModifyWrite("key before the start's 0xAD", CMD_KEYBOARD_OFF, false);
    KeyAtReadModifyWrite("key before the start's 0x20", CMD_READ_COMMAND_BYTE, false);
    KeyAtReadModifyWrite("key before the stop's 0xAD", CMD_KEYBOARD_OFF, true);
    KeyAtReadModifyWrite("key before the stop's 0x20", CMD_READ_COMMAND_BYTE, true);
    board_print("runner: ");
    board_print_dec(checks);
    board_print(" checks, ");
    board_print_dec(failures);
    board_print(failures == 0 ? " failed: PASS\n" : " failed: FAIL\n");
    board_exit(failures != 0);
}
