/*
 * The probe on the bare-metal board: QEMU's i8042, its PS/2 mouse and
 * keyboard.  The IRQ handlers only count; they read nothing.  C99,
 * freestanding.
 */
#include "peers/baremetal/board.h"
#include "peers/probe/probe.h"

static uint8_t board_in(void* context, uint16_t port) {
    (void)context;
    return board_inb(port);
}

static void board_out(void* context, uint16_t port, uint8_t value) {
    (void)context;
    board_outb(port, value);
}

static uint32_t board_now(void* context) {
    (void)context;
    return board_micros();
}

static uint32_t board_irqs(void* context, unsigned line) {
    (void)context;
    return board_irq_count(line);
}

static void board_key(void* context) {
    (void)context;
    board_type_key();
}

static void board_line(void* context, const char* line) {
    (void)context;
    board_print(line);
}

void board_main(void) {
    const struct ProbeIo io = {0,          board_in,  board_out, board_now,
                               board_irqs, board_key, board_line};
    board_keyboard_reader(0);
    probe_run(&io);
}
