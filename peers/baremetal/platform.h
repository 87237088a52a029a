/*
 * What the runner sees of the bare-metal platform calls beyond the
 * platform's own: hooks called around every byte the driver writes to a port,
 * the number of port accesses, and the priorities the driver set.  C++03, freestanding.
 */
#ifndef PEERS_BAREMETAL_PLATFORM_H
#define PEERS_BAREMETAL_PLATFORM_H

#include <stdint.h>

#define KERNEL_HIGHEST 0
#define KERNEL_LOWEST 255
#define KERNEL_INVALID_PRIORITY (-1)

typedef void (*PortWriteHook)(uint16_t port, uint8_t value);

void SetPortWriteHooks(PortWriteHook before, PortWriteHook after);
unsigned PortAccesses(void);
int CurrentPriority(void);
unsigned PrioritySets(void);
/* The numerically lowest (most urgent) priority the driver set. */
int HighestPrioritySet(void);

#endif /* PEERS_BAREMETAL_PLATFORM_H */
