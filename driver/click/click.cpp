/*
 * The click beeper.  ClickSetup reads the click settings and starts the
 * BeepThread; ClickTrigger (sample thread, DriverLock held) queues one click
 * and cuts a sounding one short; the BeepThread turns each queued click into a
 * tone on 8254 channel 2 gated onto the PC speaker; ClickTeardown stops the
 * thread and releases everything.  C++03.
 *
 * The BeepThread never takes DriverLock.  It copies the record it is given
 * when it starts (ClickSetup has filled it in by then) and afterwards meets the
 * other threads only through its semaphore, its stop event and BeepThreadExit.
 */
#include "driver/click/click.h"

#include "driver/core/driver_state.h"

/* ---- Registry ---- */
#define CLICK_VALUE_ENABLE TEXT("BeepEnable")
#define CLICK_VALUE_FREQUENCY TEXT("BeepFreq")
#define CLICK_VALUE_DURATION TEXT("BeepDelay")

/* ---- Click settings: accepted ranges and defaults ---- */
#define BEEP_DEFAULT_FREQUENCY 1500u /* Hz */
#define BEEP_MIN_FREQUENCY 100u
#define BEEP_MAX_FREQUENCY 3000u
#define BEEP_DEFAULT_DURATION 50u /* ms */
#define BEEP_MIN_DURATION 10u
#define BEEP_MAX_DURATION 200u
#define BEEP_QUEUE_LIMIT 10 /* clicks that may wait at one time */

/* Teardown waits this often, this long, for the BeepThread to leave; together
   they cover the longest click. */
#define BEEP_THREAD_STOP_WAITS 4
#define BEEP_THREAD_STOP_WAIT_MS 100u
typedef char BeepStopWaitCoversLongestClick
    [BEEP_THREAD_STOP_WAITS * BEEP_THREAD_STOP_WAIT_MS > BEEP_MAX_DURATION ? 1 : -1];

/* ---- 8254 timer channel 2 and the system control port ---- */
#define PIT_CHANNEL2_PORT 0x42
#define PIT_CONTROL_PORT 0x43
#define SYSTEM_CONTROL_PORT 0x61
#define PIT_CHANNEL2_SQUARE_WAVE 0xB6 /* channel 2, low then high byte, mode 3, binary */
#define PIT_INPUT_CLOCK_HZ 1193180u
#define SPEAKER_GATE_BITS 0x03 /* bit 0 timer 2 gate, bit 1 speaker data */

static PUCHAR PortAddress(ULONG_PTR port) {
    return reinterpret_cast<PUCHAR>(port);
}

/* ---- Speaker ---- */

static void ProgramBeepTone(DWORD frequency) {
    DWORD divisor = PIT_INPUT_CLOCK_HZ / frequency;
    WRITE_PORT_UCHAR(PortAddress(PIT_CONTROL_PORT), PIT_CHANNEL2_SQUARE_WAVE);
    WRITE_PORT_UCHAR(PortAddress(PIT_CHANNEL2_PORT), static_cast<UCHAR>(divisor & 0xFFu));
    WRITE_PORT_UCHAR(PortAddress(PIT_CHANNEL2_PORT), static_cast<UCHAR>((divisor >> 8) & 0xFFu));
}

/* Port 0x61 has other users: only the two speaker bits are changed. */
static void SpeakerOn(void) {
    UCHAR control = READ_PORT_UCHAR(PortAddress(SYSTEM_CONTROL_PORT));
    WRITE_PORT_UCHAR(PortAddress(SYSTEM_CONTROL_PORT),
                     static_cast<UCHAR>(control | SPEAKER_GATE_BITS));
}

static void SpeakerOff(void) {
    UCHAR control = READ_PORT_UCHAR(PortAddress(SYSTEM_CONTROL_PORT));
    WRITE_PORT_UCHAR(PortAddress(SYSTEM_CONTROL_PORT),
                     static_cast<UCHAR>(control & ~SPEAKER_GATE_BITS));
}

/* ---- Settings ---- */

static void RestoreClickDefaults(void) {
    Click.BeepEnabled = 0;
    Click.BeepFrequency = BEEP_DEFAULT_FREQUENCY;
    Click.BeepDuration = BEEP_DEFAULT_DURATION;
    Click.BeepSemaphore = NULL;
    Click.BeepStopEvent = NULL;
}

/* A 32-bit number from the open key.  A value that is missing, larger than
   four bytes or shorter than four bytes is not a number here. */
static BOOL ReadClickNumber(HKEY key, LPCWSTR name, DWORD* number) {
    DWORD data = 0;
    DWORD size = sizeof(data);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, NULL, &type, reinterpret_cast<LPBYTE>(&data), &size) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    if (size != sizeof(data)) {
        return FALSE;
    }
    *number = data;
    return TRUE;
}

/* Unsigned, so that a number that would be negative when signed is refused. */
static BOOL NumberInRange(DWORD number, DWORD lowest, DWORD highest) {
    return number - lowest <= highest - lowest;
}

/* Reads the touch key.  TRUE when "BeepEnable" switches clicks on; the tone
   and the length are then taken from the key where they are acceptable. */
static BOOL ReadClickSettings(void) {
    HKEY key = NULL;
    DWORD number = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TOUCH_KEY_ROOTED, 0, 0, &key) != ERROR_SUCCESS) {
        return FALSE;
    }
    if (!ReadClickNumber(key, CLICK_VALUE_ENABLE, &number) || number == 0) {
        RegCloseKey(key);
        return FALSE;
    }
    Click.BeepEnabled = 1;
    if (ReadClickNumber(key, CLICK_VALUE_FREQUENCY, &number) &&
        NumberInRange(number, BEEP_MIN_FREQUENCY, BEEP_MAX_FREQUENCY)) {
        Click.BeepFrequency = number;
    }
    if (ReadClickNumber(key, CLICK_VALUE_DURATION, &number) &&
        NumberInRange(number, BEEP_MIN_DURATION, BEEP_MAX_DURATION)) {
        Click.BeepDuration = number;
    }
    RegCloseKey(key);
    return TRUE;
}

/* ---- Kernel objects ---- */

static void CloseClickHandle(HANDLE* handle) {
    if (*handle != NULL) {
        CloseHandle(*handle);
        *handle = NULL;
    }
}

static BOOL CreateClickObjects(void) {
    Click.BeepStopEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
    if (Click.BeepStopEvent == NULL) {
        return FALSE;
    }
    Click.BeepSemaphore = CreateSemaphoreW(NULL, 0, BEEP_QUEUE_LIMIT, NULL);
    if (Click.BeepSemaphore == NULL) {
        CloseClickHandle(&Click.BeepStopEvent);
        return FALSE;
    }
    return TRUE;
}

static void CloseClickObjects(void) {
    CloseClickHandle(&Click.BeepSemaphore);
    CloseClickHandle(&Click.BeepStopEvent);
}

static BOOL StartBeepThread(void) {
    SharedWrite(&BeepThreadExit, 0);
    BeepThread = CreateThread(NULL, 0, BeepThreadProc, &Click, 0, NULL);
    return BeepThread != NULL;
}

/* Asks the BeepThread to leave and waits, bounded, until it has.  An idle
   thread wakes on the released count; a sounding one finishes its click
   first.  TRUE when the thread has left. */
static BOOL StopBeepThread(void) {
    int wait;
    SharedWrite(&BeepThreadExit, 1);
    ReleaseSemaphore(Click.BeepSemaphore, 1, NULL);
    for (wait = 0; wait < BEEP_THREAD_STOP_WAITS; ++wait) {
        if (WaitForSingleObject(BeepThread, BEEP_THREAD_STOP_WAIT_MS) == WAIT_OBJECT_0) {
            return TRUE;
        }
    }
    return FALSE;
}

/* ---- The BeepThread ---- */

static BOOL BeepExitRequested(void) {
    return SharedRead(&BeepThreadExit) != 0;
}

/* One click: a stop request from before it started does not cut it short. */
static void SoundClick(const ClickSettings* beep) {
    ResetEvent(beep->BeepStopEvent);
    ProgramBeepTone(beep->BeepFrequency);
    SpeakerOn();
    /* Ends after the click length or at a new pen-down, whichever comes first. */
    WaitForSingleObject(beep->BeepStopEvent, beep->BeepDuration);
    SpeakerOff();
}

DWORD WINAPI BeepThreadProc(LPVOID settings) {
    /* The thread's own copy: a teardown that gave up waiting resets the
       shared record, but the handles copied here stay open. */
    const ClickSettings beep = *static_cast<const ClickSettings*>(settings);
    while (!BeepExitRequested()) {
        if (WaitForSingleObject(beep.BeepSemaphore, INFINITE) != WAIT_OBJECT_0) {
            continue;
        }
        if (BeepExitRequested()) {
            break;
        }
        SoundClick(&beep);
    }
    return 0;
}

/* ---- Interface ---- */

BOOL ClickSetup(void) {
    /* A setup over clicks that are still on stops them first, so that no
       thread or handle is orphaned. */
    ClickTeardown();
    RestoreClickDefaults();
    if (!ReadClickSettings()) {
        return FALSE;
    }
    if (!CreateClickObjects()) {
        Click.BeepEnabled = 0;
        return FALSE;
    }
    if (!StartBeepThread()) {
        CloseClickObjects();
        Click.BeepEnabled = 0;
        return FALSE;
    }
    return TRUE;
}

void ClickSetPriority(DWORD priority) {
    if (Click.BeepEnabled != 0 && BeepThread != NULL) {
        CeSetThreadPriority(BeepThread, static_cast<int>(priority));
    }
}

void ClickTrigger(void) {
    if (Click.BeepEnabled == 0) {
        return;
    }
    SetEvent(Click.BeepStopEvent);
    /* A full queue drops this click. */
    ReleaseSemaphore(Click.BeepSemaphore, 1, NULL);
}

void ClickTeardown(void) {
    if (Click.BeepEnabled == 0) {
        return;
    }
    if (BeepThread != NULL && !StopBeepThread()) {
        /* The thread has not left: it is still inside a click or has not
           been given the processor.  Cut its click short and silence the
           speaker now; its handles stay open (they are leaked) because it
           may still use them. */
        SetEvent(Click.BeepStopEvent);
        SpeakerOff();
        BeepThread = NULL;
        Click.BeepSemaphore = NULL;
        Click.BeepStopEvent = NULL;
    }
    CloseClickObjects();
    CloseClickHandle(&BeepThread);
    RestoreClickDefaults();
}
