// The platform calls of win32.h, with C linkage, acting on the current
// hosted kernel.  Each call checks its arguments and reports bad ones the way
// the platform does: a failure value and the thread's last error.
#include "platform/hosted/kernel_impl.hpp"

using hosted::Event;
using hosted::Kernel;
using hosted::ObjectKind;
using hosted::Semaphore;
using hosted::Thread;

namespace {

// The largest stack a thread may ask for: more than a process's 1 GB of
// address space can never be reserved.
constexpr DWORD kMaxStackSize = 0x40000000;

Kernel::Impl& kernelFor(const char* function) {
    return Kernel::Impl::forCall(function);
}

// The security attributes the platform does not support must be null;
// anything else is refused with ERROR_INVALID_PARAMETER and recorded.
bool refuseAttributes(Kernel::Impl& k, const char* call, LPSECURITY_ATTRIBUTES attributes) {
    if (!k.refuseArgument(call, "security attributes not null", attributes == nullptr)) {
        return false;
    }
    k.setError(ERROR_INVALID_PARAMETER);
    return true;
}

}  // namespace

extern "C" {

// ---- Events, semaphores, handles, waits ----

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    Kernel::Impl& k = kernelFor("CreateEventW");
    if (refuseAttributes(k, "CreateEventW", attributes)) {
        return nullptr;
    }
    return k.createEvent(manualReset, initialState, name);
}

// The platform opens an event only for all access and never for inheritance.
HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name) {
    Kernel::Impl& k = kernelFor("OpenEventW");
    if (k.refuseArgument("OpenEventW", "access other than EVENT_ALL_ACCESS",
                         desiredAccess == EVENT_ALL_ACCESS) ||
        k.refuseArgument("OpenEventW", "handle inheritance asked for", inheritHandle == FALSE)) {
        k.setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return k.openEvent(name);
}

BOOL EventModify(HANDLE event, DWORD function) {
    Kernel::Impl& k = kernelFor("EventModify");
    const auto object = k.lookup(event, "EventModify", ObjectKind::Event);
    if (!object) {
        return FALSE;
    }
    auto& target = static_cast<Event&>(*object);
    switch (function) {
        case EVENT_SET:
            k.trace("sets event " + k.handleText(event));
            k.signal(target);
            break;
        case EVENT_RESET:
            k.trace("resets event " + k.handleText(event));
            target.signaled = false;
            return TRUE;
        case EVENT_PULSE:
            k.trace("pulses event " + k.handleText(event));
            k.pulse(target);
            break;
        default:
            k.setError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
    k.switchPoint();
    return TRUE;
}

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount,
                        LPCWSTR) {
    Kernel::Impl& k = kernelFor("CreateSemaphoreW");
    if (refuseAttributes(k, "CreateSemaphoreW", attributes)) {
        return nullptr;
    }
    if (k.injectFailure(hosted::FaultPoint::CreateSemaphore)) {
        k.setError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        k.setError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE handle = k.addHandle(std::make_shared<Semaphore>(initialCount, maximumCount));
    if (handle != nullptr) {
        k.trace("creates semaphore " + k.handleText(handle));
    }
    return handle;
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, PLONG previousCount) {
    Kernel::Impl& k = kernelFor("ReleaseSemaphore");
    const auto object = k.lookup(semaphore, "ReleaseSemaphore", ObjectKind::Semaphore);
    if (!object) {
        return FALSE;
    }
    if (!k.releaseSemaphore(static_cast<Semaphore&>(*object), releaseCount, previousCount)) {
        return FALSE;
    }
    k.switchPoint();
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    return kernelFor("CloseHandle").closeHandle(object, "CloseHandle") ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
    return kernelFor("WaitForSingleObject").waitFor(object, milliseconds);
}

// ---- Critical sections ----

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    kernelFor("InitializeCriticalSection").initSection(section);
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    kernelFor("DeleteCriticalSection").deleteSection(section);
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    kernelFor("EnterCriticalSection").enterSection(section);
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    kernelFor("LeaveCriticalSection").leaveSection(section);
}

// ---- Threads ----

HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId) {
    Kernel::Impl& k = kernelFor("CreateThread");
    if (refuseAttributes(k, "CreateThread", attributes)) {
        return nullptr;
    }
    if (stackSize > kMaxStackSize) {
        k.setError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return k.createThread(startAddress, parameter, creationFlags, threadId);
}

HANDLE GetCurrentThread(void) {
    kernelFor("GetCurrentThread");
    return hosted::kCurrentThreadPseudoHandle;
}

BOOL CeSetThreadPriority(HANDLE thread, int priority) {
    Kernel::Impl& k = kernelFor("CeSetThreadPriority");
    const auto object = k.lookup(thread, "CeSetThreadPriority", ObjectKind::Thread);
    if (!object) {
        return FALSE;
    }
    if (priority < 0 || priority > hosted::kLowestPriority) {
        k.setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    k.setPriority(static_cast<Thread&>(*object), priority);
    return TRUE;
}

int CeGetThreadPriority(HANDLE thread) {
    Kernel::Impl& k = kernelFor("CeGetThreadPriority");
    const auto object = k.lookup(thread, "CeGetThreadPriority", ObjectKind::Thread);
    return object ? static_cast<Thread&>(*object).priority : hosted::kPriorityErrorReturn;
}

void ExitThread(DWORD exitCode) {
    kernelFor("ExitThread").exitThread(exitCode);
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    Kernel::Impl& k = kernelFor("GetExitCodeThread");
    const auto object = k.lookup(thread, "GetExitCodeThread", ObjectKind::Thread);
    if (!object) {
        return FALSE;
    }
    if (exitCode == nullptr) {
        k.setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = static_cast<Thread&>(*object).exitCode;
    return TRUE;
}

BOOL DisableThreadLibraryCalls(HMODULE) {
    return TRUE;
}

// The interlocked calls need no kernel (a library may use them while it
// loads); a null target is refused instead of dereferenced.
LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return target == nullptr ? 0 : __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedIncrement(LONG volatile* target) {
    return target == nullptr ? 0 : __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* target) {
    return target == nullptr ? 0 : __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}

// ---- Logical interrupts ----

// The data block goes to the board's interrupt code, which reads size bytes
// from it: a size without a block is refused.
BOOL InterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID data, DWORD size) {
    Kernel::Impl& k = kernelFor("InterruptInitialize");
    if (k.refuseArgument("InterruptInitialize", "data size without data",
                         data != nullptr || size == 0)) {
        k.setError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return k.interruptInitialize(sysIntr, event);
}

void InterruptDone(DWORD sysIntr) {
    kernelFor("InterruptDone").interruptDone(sysIntr);
}

void InterruptDisable(DWORD sysIntr) {
    kernelFor("InterruptDisable").interruptDisable(sysIntr);
}

// ---- Time ----

DWORD GetTickCount(void) {
    return kernelFor("GetTickCount").readTicks();
}

void Sleep(DWORD milliseconds) {
    Kernel::Impl& k = kernelFor("Sleep");
    if (milliseconds == 0) {
        k.yield();
    } else if (milliseconds == INFINITE) {
        k.sleep(std::nullopt);
    } else {
        k.sleep(hosted::Micros{milliseconds} * hosted::kMicrosPerMilli);
    }
}

// ---- Last error ----

void SetLastError(DWORD error) {
    kernelFor("SetLastError").setError(error);
}

DWORD GetLastError(void) {
    return kernelFor("GetLastError").self().lastError;
}

// ---- Display and cursor ----

LONG ChangeDisplaySettingsEx(LPCWSTR deviceName, LPDEVMODEW mode, HWND window, DWORD flags,
                             LPVOID parameter) {
    Kernel::Impl& k = kernelFor("ChangeDisplaySettingsEx");
    if (k.refuseArgument("ChangeDisplaySettingsEx", "window not null", window == nullptr) ||
        k.refuseArgument("ChangeDisplaySettingsEx", "parameter not null", parameter == nullptr)) {
        k.setError(ERROR_INVALID_PARAMETER);
        return DISP_CHANGE_BADMODE;
    }
    // Only the query the driver makes is served: the current mode of the
    // primary display, changing nothing, for a record that gives its size.
    if (deviceName != nullptr || mode == nullptr || (flags & CDS_TEST) == 0 ||
        mode->dmSize != sizeof(DEVMODEW)) {
        k.setError(ERROR_INVALID_PARAMETER);
        return DISP_CHANGE_BADMODE;
    }
    if (k.displayQueryFails) {
        return DISP_CHANGE_FAILED;
    }
    if ((mode->dmFields & DM_DISPLAYORIENTATION) != 0) {
        mode->dmDisplayOrientation = k.displayOrientation;
    }
    return DISP_CHANGE_SUCCESSFUL;
}

BOOL SetCursorPos(int x, int y) {
    Kernel::Impl& k = kernelFor("SetCursorPos");
    const hosted::CursorMove move{k.now(), x, y};
    if (k.config().keepCursorMoves) {
        k.cursorMoves.push_back(move);
    }
    if (k.config().onCursorMove) {
        k.config().onCursorMove(move);
    }
    k.trace("moves the cursor to " + std::to_string(x) + "," + std::to_string(y));
    return TRUE;
}

// ---- Byte port I/O ----

UCHAR READ_PORT_UCHAR(PUCHAR port) {
    Kernel::Impl& k = kernelFor("READ_PORT_UCHAR");
    k.portCycle();
    const UCHAR value = k.readPort(reinterpret_cast<std::uintptr_t>(port));
    k.switchPoint();
    return value;
}

void WRITE_PORT_UCHAR(PUCHAR port, UCHAR value) {
    Kernel::Impl& k = kernelFor("WRITE_PORT_UCHAR");
    k.portCycle();
    k.writePort(reinterpret_cast<std::uintptr_t>(port), value);
    k.switchPoint();
}

}  // extern "C"
