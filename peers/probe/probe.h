/*
 * The port-level probe of an i8042 with a PS/2 mouse on its auxiliary channel
 * and a keyboard on its first: one sequence of port accesses, printed one
 * line a step, that runs on a bare-metal image (QEMU's i8042) and in a host
 * test (the simulated i8042), so that the two can be compared line by line.
 * C99, freestanding.
 */
#ifndef PEERS_PROBE_PROBE_H
#define PEERS_PROBE_PROBE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the side that runs the probe gives it; context is passed back. */
struct ProbeIo {
    void* context;
    uint8_t (*in)(void* context, uint16_t port);
    void (*out)(void* context, uint16_t port, uint8_t value);
    uint32_t (*nowMicros)(void* context);
    /* Interrupts raised on an 8259 line since the start. */
    uint32_t (*irqs)(void* context, unsigned line);
    /* The key 'a' pressed and released: its make and break codes (0x1E 0x9E
       in the translated set) are in the keyboard's queue on return. */
    void (*typeKey)(void* context);
    /* One line of the probe's output, with its newline. */
    void (*print)(void* context, const char* line);
};

/* Runs every step, on an i8042 at 0x60 as the firmware left it. */
void probe_run(const struct ProbeIo* io);

/* The timing fields of the output: "wire=<microseconds>us".  Two outputs are
   alike where their lines are equal but for these fields, which may differ by
   up to this much. */
#define PROBE_TIME_TOLERANCE_US 300

#ifdef __cplusplus
}
#endif

#endif /* PEERS_PROBE_PROBE_H */
