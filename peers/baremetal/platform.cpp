/*
 * The platform calls the driver's controller folder makes, on the bare-metal
 * board: one thread, a 1 ms tick, byte port I/O.  The thread's priority is
 * only recorded (nothing here schedules by it); the keyboard reader runs at
 * interrupt level, above any priority.  C++03, freestanding.
 */
#include "peers/baremetal/platform.h"

#include "peers/baremetal/board.h"
#include "platform/platform.h"

#define PSEUDO_CURRENT_THREAD ((HANDLE)(ULONG_PTR)0xFFFFFFFEu)
#define INITIAL_PRIORITY THREAD_PRIORITY_NORMAL_256
#define SLEEP_WAKE_LIMIT 0x7FFFFFFFu

static int threadPriority = INITIAL_PRIORITY;
static unsigned prioritySets = 0;
static int mostUrgentSet = KERNEL_LOWEST;
static unsigned portAccesses = 0;
static PortWriteHook beforeWrite = 0;
static PortWriteHook afterWrite = 0;

extern "C" {

DWORD GetTickCount(void) {
    return board_ticks();
}

/* Sleep(0) gives the processor away until the next interrupt at most (there
   is nobody else to run); Sleep(n) waits until n ticks have passed. */
void Sleep(DWORD milliseconds) {
    const DWORD start = board_ticks();
    if (milliseconds == 0) {
        return;
    }
    for (DWORD wakes = 0; wakes < SLEEP_WAKE_LIMIT; ++wakes) {
        if (board_ticks() - start >= milliseconds) {
            return;
        }
        board_wait_interrupt();
    }
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
    __asm__ volatile("xchgl %0, %1" : "+r"(value), "+m"(*target) : : "memory");
    return value;
}

LONG InterlockedIncrement(LONG volatile* target) {
    LONG add = 1;
    __asm__ volatile("lock xaddl %0, %1" : "+r"(add), "+m"(*target) : : "memory");
    return add + 1;
}

LONG InterlockedDecrement(LONG volatile* target) {
    LONG add = -1;
    __asm__ volatile("lock xaddl %0, %1" : "+r"(add), "+m"(*target) : : "memory");
    return add - 1;
}

HANDLE GetCurrentThread(void) {
    return PSEUDO_CURRENT_THREAD;
}

int CeGetThreadPriority(HANDLE thread) {
    return thread == PSEUDO_CURRENT_THREAD ? threadPriority : KERNEL_INVALID_PRIORITY;
}

BOOL CeSetThreadPriority(HANDLE thread, int priority) {
    if (thread != PSEUDO_CURRENT_THREAD || priority < KERNEL_HIGHEST || priority > KERNEL_LOWEST) {
        return FALSE;
    }
    threadPriority = priority;
    ++prioritySets;
    if (priority < mostUrgentSet) {
        mostUrgentSet = priority;
    }
    return TRUE;
}

UCHAR READ_PORT_UCHAR(PUCHAR port) {
    ++portAccesses;
    return board_inb(static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(port)));
}

void WRITE_PORT_UCHAR(PUCHAR port, UCHAR value) {
    const uint16_t number = static_cast<uint16_t>(reinterpret_cast<ULONG_PTR>(port));
    ++portAccesses;
    if (beforeWrite != 0) {
        beforeWrite(number, value);
    }
    board_outb(number, value);
    if (afterWrite != 0) {
        afterWrite(number, value);
    }
}

} /* extern "C" */

void SetPortWriteHooks(PortWriteHook before, PortWriteHook after) {
    beforeWrite = before;
    afterWrite = after;
}

unsigned PortAccesses(void) {
    return portAccesses;
}

int CurrentPriority(void) {
    return threadPriority;
}

unsigned PrioritySets(void) {
    return prioritySets;
}

int HighestPrioritySet(void) {
    return mostUrgentSet;
}
