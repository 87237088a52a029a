/*
 * The hosted platform's service surface: the platform's own names, types,
 * values and signatures, implemented on Linux by libtouch_platform in
 * deterministic virtual time (see platform/hosted/kernel.hpp).
 *
 * This header is compiled both by the driver (C++03, 16-bit wchar_t) and by
 * the hosted code (C++20), so it uses only C++03 and gives WCHAR the same
 * 16-bit representation on both sides.
 */
#ifndef TOUCH_PLATFORM_HOSTED_WIN32_H
#define TOUCH_PLATFORM_HOSTED_WIN32_H

/* ---- Basic types (ILP32 on the target: DWORD and LONG are 32 bits) ---- */
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned short USHORT;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef int LONG;
typedef unsigned int ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef int INT32;
typedef unsigned int UINT32;
typedef unsigned long ULONG_PTR; /* pointer-sized */
typedef DWORD REGSAM;

#if __cplusplus >= 201103L
typedef char16_t WCHAR;
#define TOUCH_WIDEN_(s) u##s
#else
/* The driver is built with -fshort-wchar, so L"..." is a 16-bit literal. */
typedef wchar_t WCHAR;
#define TOUCH_WIDEN_(s) L##s
typedef char TouchWcharMustBe16Bits[sizeof(wchar_t) == 2 ? 1 : -1];
#endif
#define TEXT(s) TOUCH_WIDEN_(s)

typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef LONG* PLONG;
typedef UCHAR* PUCHAR;
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);

/* A critical section names a kernel object; the kernel keeps its state. */
typedef struct _CRITICAL_SECTION {
    DWORD Handle;     /* kernel object id, 0 when not initialized */
    DWORD Generation; /* generation of that id, to catch stale use */
    DWORD Reserved[2];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

/* Display mode record; 192 bytes, as on the platform. */
typedef struct _devicemodeW {
    WCHAR dmDeviceName[32];
    WORD dmSpecVersion;
    WORD dmDriverVersion;
    WORD dmSize;
    WORD dmDriverExtra;
    DWORD dmFields;
    short dmOrientation;
    short dmPaperSize;
    short dmPaperLength;
    short dmPaperWidth;
    short dmScale;
    short dmCopies;
    short dmDefaultSource;
    short dmPrintQuality;
    short dmColor;
    short dmDuplex;
    short dmYResolution;
    short dmTTOption;
    short dmCollate;
    WCHAR dmFormName[32];
    WORD dmLogPixels;
    DWORD dmBitsPerPel;
    DWORD dmPelsWidth;
    DWORD dmPelsHeight;
    DWORD dmDisplayFlags;
    DWORD dmDisplayFrequency;
    DWORD dmDisplayOrientation;
} DEVMODEW, *LPDEVMODEW;
typedef char TouchDevmodeIs192Bytes[sizeof(DEVMODEW) == 192 ? 1 : -1];

/* ---- Constants ---- */
#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0 /* as the platform's headers give it to the driver */
#endif
#define INFINITE 0xFFFFFFFFu

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_NOT_READY 21
#define ERROR_INVALID_PARAMETER 87
#define ERROR_ALREADY_EXISTS 183
#define ERROR_MORE_DATA 234
#define ERROR_TOO_MANY_POSTS 298
#define ERROR_POSSIBLE_DEADLOCK 1131

#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3
#define EVENT_ALL_ACCESS 0x001F0003u

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

#define REG_CREATED_NEW_KEY 1
#define REG_OPENED_EXISTING_KEY 2

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define DM_DISPLAYORIENTATION 0x00800000u
#define DMDO_0 0
#define DMDO_90 1
#define DMDO_180 2
#define DMDO_270 4
#define CDS_TEST 0x00000002u
#define DISP_CHANGE_SUCCESSFUL 0
#define DISP_CHANGE_FAILED (-1)
#define DISP_CHANGE_BADMODE (-2)

#define THREAD_PRIORITY_NORMAL_256 251 /* CE default priority of a new thread */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Events, semaphores, handles, waits ---- */
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
HANDLE OpenEventW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
BOOL EventModify(HANDLE event, DWORD function);
HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES attributes, LONG initialCount, LONG maximumCount,
                        LPCWSTR name);
BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, PLONG previousCount);
BOOL CloseHandle(HANDLE object);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

/* ---- Critical sections ---- */
void InitializeCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);

/* ---- Threads ---- */
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, DWORD stackSize,
                    LPTHREAD_START_ROUTINE startAddress, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
/* A pseudo-handle that names whichever thread uses it, as on the platform;
   it needs no closing. */
HANDLE GetCurrentThread(void);
BOOL CeSetThreadPriority(HANDLE thread, int priority);
int CeGetThreadPriority(HANDLE thread);
void ExitThread(DWORD exitCode);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
BOOL DisableThreadLibraryCalls(HMODULE module);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedIncrement(LONG volatile* target);
LONG InterlockedDecrement(LONG volatile* target);

/* ---- Logical interrupts ---- */
BOOL InterruptInitialize(DWORD sysIntr, HANDLE event, LPVOID data, DWORD size);
void InterruptDone(DWORD sysIntr);
void InterruptDisable(DWORD sysIntr);

/* ---- Time ---- */
DWORD GetTickCount(void);
void Sleep(DWORD milliseconds);

/* ---- Last error ---- */
void SetLastError(DWORD error);
DWORD GetLastError(void);

/* ---- Registry ---- */
LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                     LPDWORD disposition);
LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);
LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegCloseKey(HKEY key);

/* ---- Display and cursor ---- */
LONG ChangeDisplaySettingsEx(LPCWSTR deviceName, LPDEVMODEW mode, HWND window, DWORD flags,
                             LPVOID parameter);
BOOL SetCursorPos(int x, int y);

/* ---- Byte port I/O ---- */
UCHAR READ_PORT_UCHAR(PUCHAR port);
void WRITE_PORT_UCHAR(PUCHAR port, UCHAR value);

#ifdef __cplusplus
}
#endif

/* SetEvent and ResetEvent are EventModify, as the platform defines them. */
static inline BOOL SetEvent(HANDLE event) {
    return EventModify(event, EVENT_SET);
}
static inline BOOL ResetEvent(HANDLE event) {
    return EventModify(event, EVENT_RESET);
}
static inline BOOL PulseEvent(HANDLE event) {
    return EventModify(event, EVENT_PULSE);
}

#endif /* TOUCH_PLATFORM_HOSTED_WIN32_H */
