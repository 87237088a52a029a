/*
 * The bare-metal board under the peer images: an i386 PC as QEMU gives it,
 * with a 1 ms tick from the 8254 through the 8259, port I/O, the debug
 * console (port 0xE9), a serial line to the host that runs the image (COM1,
 * for handshakes), and isa-debug-exit for the result.  C, freestanding.
 */
#ifndef PEERS_BAREMETAL_BOARD_H
#define PEERS_BAREMETAL_BOARD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint8_t board_inb(uint16_t port);
void board_outb(uint16_t port, uint8_t value);

/* Milliseconds since the tick started, and microseconds from the 8254's
   counter. */
uint32_t board_ticks(void);
uint32_t board_micros(void);
/* Halts until the next interrupt. */
void board_wait_interrupt(void);
void board_interrupts_off(void);
void board_interrupts_on(void);

/* Interrupts taken on an 8259 line since the start. */
uint32_t board_irq_count(unsigned line);
/* While on, every IRQ 1 takes a keyboard byte (output full, auxiliary bit
   clear) off the i8042, as the board's keyboard driver does. */
void board_keyboard_reader(int on);
/* Copies up to max of the bytes the keyboard reader took; returns how many it
   took in all. */
uint32_t board_keyboard_bytes(uint8_t* out, uint32_t max);

void board_print(const char* text);
void board_print_hex(uint32_t value, unsigned digits);
void board_print_dec(uint32_t value);

/* Asks the host for a key (the letter a, pressed and released) and returns
   once the host says both bytes are in the keyboard's queue. */
void board_type_key(void);

/* Ends the run: QEMU exits with 33 for passed, 35 for failed. */
void board_exit(int failed) __attribute__((noreturn));

/* Provided by each image: what runs once the board is set up. */
void board_main(void);

#ifdef __cplusplus
}
#endif

#endif /* PEERS_BAREMETAL_BOARD_H */
