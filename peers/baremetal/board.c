/*
 * The bare-metal board: IDT, 8259, 8254, debug console, COM1 and exit.  C,
 * freestanding; every wait is bounded.
 */
#include "peers/baremetal/board.h"

#include <stddef.h>

#define PIC1_COMMAND 0x20
#define PIC1_DATA 0x21
#define PIC2_COMMAND 0xA0
#define PIC2_DATA 0xA1
#define PIC_EOI 0x20
#define PIC_READ_IRR 0x0A
#define PIC_VECTOR_BASE 32
#define PIC_LINES 16
#define PIC_CASCADE_LINE 2

#define PIT_CHANNEL0 0x40
#define PIT_MODE 0x43
#define PIT_RATE_GENERATOR 0x34 /* channel 0, low then high byte, mode 2 */
#define PIT_LATCH_CHANNEL0 0x00
#define PIT_DIVISOR 1193 /* 1.193182 MHz / 1193: one tick a millisecond */

#define DEBUG_CONSOLE 0xE9
#define DEBUG_EXIT 0xF4
/* QEMU exits with (value << 1) | 1: 33 and 35, which QEMU never gives for
   an error of its own. */
#define EXIT_PASSED 0x10
#define EXIT_FAILED 0x11

#define COM1 0x3F8
#define COM1_LINE_STATUS (COM1 + 5)
#define COM1_DATA_READY 0x01
#define COM1_TRANSMIT_EMPTY 0x20
#define SERIAL_KEY_REQUEST 'K'
#define SERIAL_KEY_TYPED 'k'
#define SERIAL_WAIT_MS 20000
#define SERIAL_SEND_TESTS 1000000

#define I8042_DATA 0x60
#define I8042_STATUS 0x64
#define I8042_OUTPUT_FULL 0x01
#define I8042_AUX_DATA 0x20

#define KEYBOARD_LOG_SIZE 64
#define IDT_ENTRIES 48
#define EXCEPTION_VECTORS 32
#define CODE_SELECTOR 0x08
#define INTERRUPT_GATE 0x8E

struct IdtEntry {
    uint16_t offsetLow;
    uint16_t selector;
    uint8_t zero;
    uint8_t flags;
    uint16_t offsetHigh;
} __attribute__((packed));

struct IdtPointer {
    uint16_t limit;
    uint32_t base;
} __attribute__((packed));

extern const uint32_t vector_table[IDT_ENTRIES];

static struct IdtEntry idt[IDT_ENTRIES];
static volatile uint32_t ticks;
static volatile uint32_t irqCounts[PIC_LINES];
static volatile int keyboardReader;
static volatile uint32_t keyboardTaken;
static volatile uint8_t keyboardLog[KEYBOARD_LOG_SIZE];

uint8_t board_inb(uint16_t port) {
    uint8_t value;
    __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

void board_outb(uint16_t port, uint8_t value) {
    __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port));
}

void board_interrupts_off(void) {
    __asm__ volatile("cli" ::: "memory");
}

void board_interrupts_on(void) {
    __asm__ volatile("sti" ::: "memory");
}

void board_wait_interrupt(void) {
    __asm__ volatile("sti; hlt" ::: "memory");
}

uint32_t board_ticks(void) {
    return ticks;
}

/* The tick count and the 8254's count down within the tick, read with
   interrupts off; a tick due but not yet taken (IRR bit 0 set) counts. */
uint32_t board_micros(void) {
    uint32_t flags;
    __asm__ volatile("pushfl; popl %0; cli" : "=r"(flags)::"memory");
    board_outb(PIT_MODE, PIT_LATCH_CHANNEL0);
    const uint32_t low = board_inb(PIT_CHANNEL0);
    const uint32_t count = low | ((uint32_t)board_inb(PIT_CHANNEL0) << 8);
    board_outb(PIC1_COMMAND, PIC_READ_IRR);
    const int tickPending = (board_inb(PIC1_COMMAND) & 1) != 0;
    uint32_t ms = ticks;
    if (tickPending && count > PIT_DIVISOR / 2) {
        ++ms; /* the counter reloaded after the tick was raised */
    }
    if (flags & 0x200) {
        board_interrupts_on();
    }
    const uint32_t elapsed = count <= PIT_DIVISOR ? PIT_DIVISOR - count : 0;
    return ms * 1000u + elapsed * 1000u / PIT_DIVISOR;
}

uint32_t board_irq_count(unsigned line) {
    return line < PIC_LINES ? irqCounts[line] : 0;
}

void board_keyboard_reader(int on) {
    keyboardReader = on;
}

uint32_t board_keyboard_bytes(uint8_t* out, uint32_t max) {
    const uint32_t taken = keyboardTaken;
    for (uint32_t i = 0; i < max && i < taken && i < KEYBOARD_LOG_SIZE; ++i) {
        out[i] = keyboardLog[i];
    }
    return taken;
}

void board_print(const char* text) {
    for (uint32_t i = 0; text[i] != '\0' && i < 4096; ++i) {
        board_outb(DEBUG_CONSOLE, (uint8_t)text[i]);
    }
}

void board_print_hex(uint32_t value, unsigned digits) {
    char text[9];
    if (digits > 8) {
        digits = 8;
    }
    for (unsigned i = 0; i < digits; ++i) {
        text[i] = "0123456789ABCDEF"[(value >> (4 * (digits - 1 - i))) & 0xF];
    }
    text[digits] = '\0';
    board_print(text);
}

void board_print_dec(uint32_t value) {
    char text[11];
    unsigned at = sizeof text - 1;
    text[at] = '\0';
    do {
        text[--at] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0 && at > 0);
    board_print(text + at);
}

void board_exit(int failed) {
    board_outb(DEBUG_EXIT, failed ? EXIT_FAILED : EXIT_PASSED);
    for (;;) {
        __asm__ volatile("cli; hlt");
    }
}

static void serial_send(uint8_t byte) {
    for (uint32_t i = 0; i < SERIAL_SEND_TESTS; ++i) {
        if (board_inb(COM1_LINE_STATUS) & COM1_TRANSMIT_EMPTY) {
            break;
        }
    }
    board_outb(COM1, byte);
}

/* Polls COM1 (interrupts stay as the caller has them) for the host's answer. */
void board_type_key(void) {
    serial_send(SERIAL_KEY_REQUEST);
    const uint32_t start = ticks;
    for (;;) {
        if (board_inb(COM1_LINE_STATUS) & COM1_DATA_READY) {
            if (board_inb(COM1) == SERIAL_KEY_TYPED) {
                return;
            }
        }
        if (ticks - start > SERIAL_WAIT_MS) {
            board_print("FAIL: the host typed no key within 20 s\n");
            board_exit(1);
        }
    }
}

static void take_keyboard_byte(void) {
    const uint8_t status = board_inb(I8042_STATUS);
    if ((status & (I8042_OUTPUT_FULL | I8042_AUX_DATA)) != I8042_OUTPUT_FULL) {
        return;
    }
    const uint8_t byte = board_inb(I8042_DATA);
    if (keyboardTaken < KEYBOARD_LOG_SIZE) {
        keyboardLog[keyboardTaken] = byte;
    }
    ++keyboardTaken;
}

/* Called by the stubs of entry.S with the vector. */
void board_interrupt(uint32_t vector);
void board_interrupt(uint32_t vector) {
    if (vector < EXCEPTION_VECTORS) {
        board_print("FAIL: processor exception ");
        board_print_dec(vector);
        board_print("\n");
        board_exit(1);
    }
    const unsigned line = vector - PIC_VECTOR_BASE;
    ++irqCounts[line];
    if (line == 0) {
        ++ticks;
    } else if (line == 1 && keyboardReader) {
        take_keyboard_byte();
    }
    if (line >= 8) {
        board_outb(PIC2_COMMAND, PIC_EOI);
    }
    board_outb(PIC1_COMMAND, PIC_EOI);
}

static void setup_idt(void) {
    for (unsigned i = 0; i < IDT_ENTRIES; ++i) {
        idt[i].offsetLow = (uint16_t)(vector_table[i] & 0xFFFF);
        idt[i].selector = CODE_SELECTOR;
        idt[i].zero = 0;
        idt[i].flags = INTERRUPT_GATE;
        idt[i].offsetHigh = (uint16_t)(vector_table[i] >> 16);
    }
    struct IdtPointer pointer = {sizeof idt - 1, (uint32_t)idt};
    __asm__ volatile("lidt %0" : : "m"(pointer));
}

/* Both 8259s edge-triggered at vectors 32-47; only IRQ 0, 1, 2 (the cascade)
   and 12 unmasked. */
static void setup_pic(void) {
    board_outb(PIC1_COMMAND, 0x11);
    board_outb(PIC2_COMMAND, 0x11);
    board_outb(PIC1_DATA, PIC_VECTOR_BASE);
    board_outb(PIC2_DATA, PIC_VECTOR_BASE + 8);
    board_outb(PIC1_DATA, 1 << PIC_CASCADE_LINE);
    board_outb(PIC2_DATA, PIC_CASCADE_LINE);
    board_outb(PIC1_DATA, 0x01);
    board_outb(PIC2_DATA, 0x01);
    board_outb(PIC1_DATA, (uint8_t) ~((1 << 0) | (1 << 1) | (1 << PIC_CASCADE_LINE)));
    board_outb(PIC2_DATA, (uint8_t) ~(1 << (12 - 8)));
}

static void setup_pit(void) {
    board_outb(PIT_MODE, PIT_RATE_GENERATOR);
    board_outb(PIT_CHANNEL0, PIT_DIVISOR & 0xFF);
    board_outb(PIT_CHANNEL0, PIT_DIVISOR >> 8);
}

/* 115200 baud, 8N1, FIFOs on, no interrupts. */
static void setup_serial(void) {
    board_outb(COM1 + 1, 0x00);
    board_outb(COM1 + 3, 0x80);
    board_outb(COM1 + 0, 0x01);
    board_outb(COM1 + 1, 0x00);
    board_outb(COM1 + 3, 0x03);
    board_outb(COM1 + 2, 0xC7);
    board_outb(COM1 + 4, 0x03);
}

void board_start(void);
void board_start(void) {
    setup_idt();
    setup_pic();
    setup_pit();
    setup_serial();
    board_interrupts_on();
    board_main();
    board_exit(0);
}

/* What the compiler may call on its own in a freestanding program. */
void* memset(void* target, int value, size_t size);
void* memset(void* target, int value, size_t size) {
    uint8_t* bytes = (uint8_t*)target;
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = (uint8_t)value;
    }
    return target;
}

void* memcpy(void* target, const void* source, size_t size);
void* memcpy(void* target, const void* source, size_t size) {
    uint8_t* to = (uint8_t*)target;
    const uint8_t* from = (const uint8_t*)source;
    for (size_t i = 0; i < size; ++i) {
        to[i] = from[i];
    }
    return target;
}
