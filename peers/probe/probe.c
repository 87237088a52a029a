/*
 * The probe's steps.  Each step starts from the same state (command byte 0x44:
 * translation on, both interfaces enabled, no interrupts; nothing waiting) and
 * prints one line: "name: items".  A byte read is "XX/sYY": the byte and the
 * status that showed it.  Printed statuses leave out bits 0x04 (system flag)
 * and 0x08 (last write was a command) except in the steps about those bits, so
 * that each behaviour shows in one line only.  C99, freestanding.
 */
#include "peers/probe/probe.h"

#define DATA_PORT 0x60
#define STATUS_PORT 0x64

#define STATUS_OUTPUT_FULL 0x01
#define STATUS_INPUT_FULL 0x02
#define STATUS_SYSTEM_FLAG 0x04
#define STATUS_COMMAND 0x08
#define STATUS_SHOWN_MASK ((uint8_t) ~(STATUS_SYSTEM_FLAG | STATUS_COMMAND))

#define READ_WINDOW_US 50000  /* "none": no byte within this */
#define DRAIN_WINDOW_US 10000 /* a step's start: quiet for this long */
/* A typed key's release byte follows its press when the host's key hold
   ends, which a busy host can delay well past READ_WINDOW_US: the step that
   types a key waits this long for each byte, so that its line shows the
   order of the bytes, not the host's load. */
#define KEY_WINDOW_US 500000
#define DRAIN_MAX_BYTES 32
#define SETTLE_US 2000
#define WIRE_TIME_TRIES 3
#define LINE_SIZE 160

#define CCB_PROBE 0x44 /* translation, system flag; both interfaces on, no IRQs */
#define CCB_AUX_IRQ 0x02
#define CCB_KEYBOARD_IRQ 0x01
#define CCB_NO_SYSTEM_FLAG 0x40

#define KEYBOARD_IRQ 1
#define AUX_IRQ 12

struct Probe {
    const struct ProbeIo* io;
    char line[LINE_SIZE];
    unsigned length;
};

static void append(struct Probe* p, const char* text) {
    for (unsigned i = 0; text[i] != '\0' && p->length + 1 < LINE_SIZE; ++i) {
        p->line[p->length++] = text[i];
    }
    p->line[p->length] = '\0';
}

static void append_hex(struct Probe* p, uint8_t value) {
    const char digits[] = "0123456789ABCDEF";
    const char text[3] = {digits[value >> 4], digits[value & 0xF], '\0'};
    append(p, text);
}

static void append_dec(struct Probe* p, uint32_t value) {
    char text[11];
    unsigned at = sizeof text - 1;
    text[at] = '\0';
    do {
        text[--at] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0 && at > 0);
    append(p, text + at);
}

static void begin(struct Probe* p, const char* name) {
    p->length = 0;
    p->line[0] = '\0';
    append(p, name);
    append(p, ":");
}

static void end(struct Probe* p) {
    append(p, "\n");
    p->io->print(p->io->context, p->line);
}

static uint8_t status(struct Probe* p) {
    return p->io->in(p->io->context, STATUS_PORT);
}

static uint32_t now(struct Probe* p) {
    return p->io->nowMicros(p->io->context);
}

static void pause_us(struct Probe* p, uint32_t micros) {
    const uint32_t start = now(p);
    for (uint32_t tests = 0; tests < READ_WINDOW_US && now(p) - start < micros; ++tests) {
        status(p);
    }
}

static void wait_input_empty(struct Probe* p) {
    const uint32_t start = now(p);
    for (uint32_t tests = 0; tests < READ_WINDOW_US && now(p) - start < READ_WINDOW_US; ++tests) {
        if ((status(p) & STATUS_INPUT_FULL) == 0) {
            return;
        }
    }
}

static void command(struct Probe* p, uint8_t value) {
    wait_input_empty(p);
    p->io->out(p->io->context, STATUS_PORT, value);
}

static void data(struct Probe* p, uint8_t value) {
    wait_input_empty(p);
    p->io->out(p->io->context, DATA_PORT, value);
}

/* The status once a byte waits, or 0 when none came within the window. */
static uint8_t wait_output(struct Probe* p, uint32_t window) {
    const uint32_t start = now(p);
    for (uint32_t tests = 0; tests < window && now(p) - start < window; ++tests) {
        const uint8_t seen = status(p);
        if (seen & STATUS_OUTPUT_FULL) {
            return seen;
        }
    }
    return 0;
}

static int read_into(struct Probe* p, uint8_t* byte, uint8_t* seen, uint32_t window) {
    *seen = wait_output(p, window);
    if (*seen == 0) {
        return 0;
    }
    *byte = p->io->in(p->io->context, DATA_PORT);
    return 1;
}

/* Reads one byte and appends it, or "none".  The last write has been taken
   first, so that the input-full bit shows only in the step about it. */
static void show_byte_within(struct Probe* p, uint32_t window_us) {
    uint8_t byte = 0;
    uint8_t seen = 0;
    wait_input_empty(p);
    append(p, " ");
    if (!read_into(p, &byte, &seen, window_us)) {
        append(p, "none");
        return;
    }
    append_hex(p, byte);
    append(p, "/s");
    append_hex(p, seen & STATUS_SHOWN_MASK);
}

static void show_byte(struct Probe* p) {
    show_byte_within(p, READ_WINDOW_US);
}

static void show_bytes(struct Probe* p, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        show_byte(p);
    }
}

/* After a key is typed: see KEY_WINDOW_US. */
static void show_key_bytes(struct Probe* p, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        show_byte_within(p, KEY_WINDOW_US);
    }
}

static void show_status(struct Probe* p, const char* label, uint8_t mask) {
    append(p, " ");
    append(p, label);
    append(p, "=");
    append_hex(p, status(p) & mask);
}

static void show_irqs(struct Probe* p, unsigned line, uint32_t since) {
    append(p, line == KEYBOARD_IRQ ? " irq1=" : " irq12=");
    append_dec(p, p->io->irqs(p->io->context, line) - since);
}

static void drain(struct Probe* p) {
    uint8_t byte = 0;
    uint8_t seen = 0;
    for (unsigned i = 0; i < DRAIN_MAX_BYTES && read_into(p, &byte, &seen, DRAIN_WINDOW_US); ++i) {
    }
}

static void write_command_byte(struct Probe* p, uint8_t value) {
    command(p, 0x60);
    data(p, value);
}

/* Every step but the first starts here. */
static void fresh(struct Probe* p, const char* name) {
    write_command_byte(p, CCB_PROBE);
    drain(p);
    begin(p, name);
}

static void mouse(struct Probe* p, uint8_t value) {
    command(p, 0xD4);
    data(p, value);
}

/* ---- Steps ---- */

static void power_on_command_byte(struct Probe* p) {
    const uint32_t irq1 = p->io->irqs(p->io->context, KEYBOARD_IRQ);
    drain(p);
    begin(p, "power-on command byte");
    command(p, 0x20);
    show_byte(p);
    pause_us(p, SETTLE_US);
    show_irqs(p, KEYBOARD_IRQ, irq1);
    end(p);
}

static void command_byte_written(struct Probe* p) {
    fresh(p, "0x60 0x44 then 0x20");
    command(p, 0x20);
    show_byte(p);
    end(p);
}

static void system_flag_bit(struct Probe* p) {
    fresh(p, "command byte bit 2 cleared, status");
    write_command_byte(p, CCB_NO_SYSTEM_FLAG);
    command(p, 0x20);
    pause_us(p, SETTLE_US);
    show_status(p, "s", STATUS_SYSTEM_FLAG);
    drain(p);
    command(p, 0xAA); /* a self test sets the flag again */
    drain(p);
    end(p);
}

static void command_bit(struct Probe* p) {
    fresh(p, "status after a data write");
    pause_us(p, SETTLE_US);
    show_status(p, "s", 0xFF & ~STATUS_OUTPUT_FULL);
    end(p);
}

static void interface_bits(struct Probe* p) {
    static const uint8_t commands[] = {0xA7, 0xA8, 0xAD, 0xAE};
    fresh(p, "0xA7 0xA8 0xAD 0xAE, each then 0x20");
    for (unsigned i = 0; i < sizeof commands; ++i) {
        command(p, commands[i]);
        command(p, 0x20);
        show_byte(p);
    }
    end(p);
}

static void d4_without_data(struct Probe* p) {
    fresh(p, "0xA7, 0xD4 with no data byte, 0x20");
    command(p, 0xA7);
    command(p, 0xD4);
    command(p, 0x20);
    show_byte(p);
    end(p);
}

static void d4_with_aux_disabled(struct Probe* p) {
    fresh(p, "0xA7, 0xD4 0xF5, 0x20");
    command(p, 0xA7);
    mouse(p, 0xF5);
    show_byte(p);
    command(p, 0x20);
    show_byte(p);
    end(p);
}

static void d4_across_command(struct Probe* p) {
    fresh(p, "0xD4, 0x20 answered, 0xF5");
    command(p, 0xD4);
    command(p, 0x20);
    show_byte(p);
    data(p, 0xF5);
    show_bytes(p, 2);
    end(p);
}

static void mouse_reset(struct Probe* p) {
    fresh(p, "mouse 0xFF");
    mouse(p, 0xFF);
    show_bytes(p, 4);
    end(p);
}

static void mouse_unknown(struct Probe* p) {
    fresh(p, "mouse 0x0A");
    mouse(p, 0x0A);
    show_byte(p);
    end(p);
}

static void read_empty(struct Probe* p) {
    fresh(p, "data port read while empty");
    command(p, 0x20);
    show_byte(p);
    append(p, " again=");
    append_hex(p, p->io->in(p->io->context, DATA_PORT));
    show_status(p, "s", STATUS_SHOWN_MASK);
    end(p);
}

static void status_after_write(struct Probe* p) {
    fresh(p, "status right after 0x20");
    command(p, 0x20);
    show_status(p, "s", STATUS_SHOWN_MASK);
    end(p);
}

static void d4_back_to_back(struct Probe* p) {
    fresh(p, "0xD4 0xF5 without waiting");
    p->io->out(p->io->context, STATUS_PORT, 0xD4);
    p->io->out(p->io->context, DATA_PORT, 0xF5);
    show_bytes(p, 2);
    end(p);
}

static void unread_answers(struct Probe* p) {
    fresh(p, "0xA9 then 0xAA, neither read");
    command(p, 0xA9);
    command(p, 0xAA);
    pause_us(p, SETTLE_US);
    show_bytes(p, 3);
    end(p);
}

static void controller_tests(struct Probe* p) {
    fresh(p, "0xAA, 0x20, 0xA9, 0xAB");
    command(p, 0xAA);
    show_byte(p);
    command(p, 0x20);
    show_byte(p);
    command(p, 0xA9);
    show_byte(p);
    command(p, 0xAB);
    show_byte(p);
    end(p);
}

static void irq12_per_byte(struct Probe* p) {
    fresh(p, "command byte 0x46, mouse 0xF2");
    const uint32_t irq1 = p->io->irqs(p->io->context, KEYBOARD_IRQ);
    const uint32_t irq12 = p->io->irqs(p->io->context, AUX_IRQ);
    write_command_byte(p, CCB_PROBE | CCB_AUX_IRQ);
    mouse(p, 0xF2);
    show_bytes(p, 3);
    pause_us(p, SETTLE_US);
    show_irqs(p, KEYBOARD_IRQ, irq1);
    show_irqs(p, AUX_IRQ, irq12);
    end(p);
}

static void irq12_on_enable(struct Probe* p) {
    fresh(p, "mouse 0xF2 waiting, then 0x46 twice");
    mouse(p, 0xF2);
    wait_output(p, READ_WINDOW_US);
    uint32_t irq12 = p->io->irqs(p->io->context, AUX_IRQ);
    write_command_byte(p, CCB_PROBE | CCB_AUX_IRQ);
    pause_us(p, SETTLE_US);
    show_irqs(p, AUX_IRQ, irq12);
    irq12 = p->io->irqs(p->io->context, AUX_IRQ);
    write_command_byte(p, CCB_PROBE | CCB_AUX_IRQ);
    pause_us(p, SETTLE_US);
    show_irqs(p, AUX_IRQ, irq12);
    end(p);
}

static void answer_irq_keyboard_off(struct Probe* p) {
    fresh(p, "0x20 answered with the keyboard off");
    write_command_byte(p, CCB_PROBE | CCB_KEYBOARD_IRQ);
    command(p, 0xAD);
    pause_us(p, SETTLE_US);
    const uint32_t irq1 = p->io->irqs(p->io->context, KEYBOARD_IRQ);
    command(p, 0x20);
    show_byte(p);
    pause_us(p, SETTLE_US);
    show_irqs(p, KEYBOARD_IRQ, irq1);
    end(p);
}

static void aux_disable_holds(struct Probe* p) {
    fresh(p, "mouse 0xFF, FA read, 0xA7, then 0xA8");
    mouse(p, 0xFF);
    show_byte(p);
    command(p, 0xA7);
    show_bytes(p, 2);
    command(p, 0xA8);
    show_bytes(p, 2);
    end(p);
}

static void keyboard_aux_order(struct Probe* p) {
    fresh(p, "key pressed while mouse bytes wait");
    mouse(p, 0xFF);
    show_byte(p);
    p->io->typeKey(p->io->context);
    show_key_bytes(p, 5);
    end(p);
}

/* The shortest of a few tries, so that a host that stalls the emulator in
   one of them does not show. */
static void wire_time(struct Probe* p) {
    fresh(p, "mouse 0xF2, time to the first byte");
    uint32_t shortest = READ_WINDOW_US;
    for (unsigned i = 0; i < WIRE_TIME_TRIES; ++i) {
        mouse(p, 0xF2);
        const uint32_t start = now(p);
        wait_output(p, READ_WINDOW_US);
        const uint32_t took = now(p) - start;
        shortest = took < shortest ? took : shortest;
        if (i + 1 < WIRE_TIME_TRIES) {
            drain(p);
        }
    }
    show_bytes(p, 2);
    append(p, " wire=");
    append_dec(p, shortest);
    append(p, "us");
    end(p);
}

static void key_before_answer(struct Probe* p) {
    fresh(p, "key byte waiting, then 0x20");
    p->io->typeKey(p->io->context);
    wait_output(p, READ_WINDOW_US);
    command(p, 0x20);
    show_key_bytes(p, 4);
    end(p);
}

void probe_run(const struct ProbeIo* io) {
    struct Probe probe;
    probe.io = io;
    probe.length = 0;
    power_on_command_byte(&probe);
    command_byte_written(&probe);
    system_flag_bit(&probe);
    command_bit(&probe);
    interface_bits(&probe);
    d4_without_data(&probe);
    d4_with_aux_disabled(&probe);
    d4_across_command(&probe);
    mouse_reset(&probe);
    mouse_unknown(&probe);
    read_empty(&probe);
    status_after_write(&probe);
    d4_back_to_back(&probe);
    unread_answers(&probe);
    controller_tests(&probe);
    irq12_per_byte(&probe);
    irq12_on_enable(&probe);
    answer_irq_keyboard_off(&probe);
    aux_disable_holds(&probe);
    keyboard_aux_order(&probe);
    wire_time(&probe);
    key_before_answer(&probe);
    write_command_byte(&probe, CCB_PROBE);
    drain(&probe);
}
