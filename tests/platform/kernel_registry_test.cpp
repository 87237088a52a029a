// The platform's registry calls as the driver makes them: opening keys in
// both forms, reading values into fixed buffers, creating the touch key.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/hosted/kernel.hpp"
#include "platform/hosted/win32.h"

using hosted::Kernel;

namespace {

class KernelRegistryCalls : public ::testing::Test {
  protected:
    KernelRegistryCalls() {
        kernel.registry().setDword("HARDWARE\\DEVICEMAP\\TOUCH", "ioBase", 0x60);
        kernel.registry().setString("System\\GWE", "ActivityEvent", u"PowerManager/Activity");
    }
    ~KernelRegistryCalls() override {
        EXPECT_EQ(kernel.openHandleCount(), 0u);
        EXPECT_EQ(kernel.faults().size(), expectedFaults);
    }
    HKEY open(LPCWSTR path) {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key), ERROR_SUCCESS);
        return key;
    }

    Kernel kernel;
    std::size_t expectedFaults = 0;
};

TEST_F(KernelRegistryCalls, BothKeyFormsAndAnyCaseOpenTheSameKey) {
    for (LPCWSTR path : {TEXT("HARDWARE\\DEVICEMAP\\TOUCH"), TEXT("\\HARDWARE\\DEVICEMAP\\TOUCH"),
                         TEXT("hardware\\devicemap\\touch")}) {
        HKEY key = open(path);
        ASSERT_NE(key, nullptr);
        DWORD value = 0, type = 0, size = sizeof value;
        EXPECT_EQ(RegQueryValueExW(key, TEXT("IOBASE"), nullptr, &type,
                                   reinterpret_cast<LPBYTE>(&value), &size),
                  ERROR_SUCCESS);
        EXPECT_EQ(value, 0x60u);
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    // A subkey opened relative to an open key.
    HKEY parent = open(TEXT("HARDWARE\\DEVICEMAP"));
    HKEY child = nullptr;
    EXPECT_EQ(RegOpenKeyExW(parent, TEXT("Touch"), 0, 0, &child), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(child, TEXT("ioBase"), nullptr, nullptr, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 4u);
    RegCloseKey(child);
    RegCloseKey(parent);
}

TEST_F(KernelRegistryCalls, MissingKeysAndValuesAreNotFound) {
    HKEY key = reinterpret_cast<HKEY>(1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\BuiltIn\\Touch"), 0, 0, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    key = open(TEXT("HARDWARE\\DEVICEMAP\\TOUCH"));
    DWORD value = 0xDEAD, size = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, TEXT("sysIntr"), nullptr, nullptr,
                               reinterpret_cast<LPBYTE>(&value), &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(value, 0xDEADu);
    RegCloseKey(key);
}

TEST_F(KernelRegistryCalls, AShortBufferGetsTheNeededSizeAndGarbage) {
    HKEY key = open(TEXT("System\\GWE"));
    const std::u16string expected = u"PowerManager/Activity";
    const DWORD needed = static_cast<DWORD>((expected.size() + 1) * sizeof(char16_t));

    DWORD type = 0, size = 0;
    EXPECT_EQ(RegQueryValueExW(key, TEXT("ActivityEvent"), nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, TEXT("ActivityEvent"), nullptr, &type, small, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, needed);
    for (BYTE b : small) {
        EXPECT_EQ(b, kernel.config().undefinedFill);  // left undefined, as the platform does
    }

    WCHAR name[260] = {};
    size = sizeof name;
    EXPECT_EQ(RegQueryValueExW(key, TEXT("ActivityEvent"), nullptr, &type,
                               reinterpret_cast<LPBYTE>(name), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(std::u16string(name), expected);

    // A buffer without its size is refused rather than overrun.
    EXPECT_EQ(RegQueryValueExW(key, TEXT("ActivityEvent"), nullptr, &type,
                               reinterpret_cast<LPBYTE>(name), nullptr),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

TEST_F(KernelRegistryCalls, CreateMakesAMissingKeyWithItsParentsAndSetStoresValues) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("\\Drivers\\BuiltIn\\Touch"), 0, nullptr, 0,
                              0, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(kernel.registry().keyExists("Drivers\\BuiltIn"));
    const DWORD priority = 109;
    EXPECT_EQ(RegSetValueExW(key, TEXT("Priority256"), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&priority), sizeof priority),
              ERROR_SUCCESS);
    EXPECT_EQ(kernel.registry().dword("drivers\\builtin\\touch", "priority256"), 109u);
    RegCloseKey(key);

    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("Drivers\\BuiltIn\\Touch"), 0, nullptr, 0, 0,
                              nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
}

TEST_F(KernelRegistryCalls, NamesOutsideAsciiReachTheRegistryAsUtf8) {
    // Two-, three- and four-byte UTF-8 forms: U+00E9, U+20AC and U+1F58A as
    // a surrogate pair.
    const WCHAR keyName[] = {'P', 0x00E9, 'n', 0x20AC, 0xD83D, 0xDD8A, 0};
    const WCHAR valueName[] = {'G', 0x00E4, 'i', 'n', 0};
    HKEY key = nullptr;
    ASSERT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, nullptr, 0, 0, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    const DWORD gain = 7;
    EXPECT_EQ(RegSetValueExW(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&gain),
                             sizeof gain),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(kernel.registry().dword("P\xC3\xA9n\xE2\x82\xAC\xF0\x9F\x96\x8A", "G\xC3\xA4in"),
              std::optional<std::uint32_t>(7));
    // A name that ends in half a pair is refused, and creates nothing.
    const WCHAR halfPair[] = {'k', 0xD83D, 0};
    const std::size_t keysBefore = kernel.registry().keys().size();
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, halfPair, 0, nullptr, 0, 0, nullptr, &key, nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(kernel.registry().keys().size(), keysBefore);
}

// Reserved arguments, and the options and access the platform does not
// support, must be 0 or null: anything else is refused, changes nothing and
// is recorded.
TEST_F(KernelRegistryCalls, ReservedArgumentsAreRefusedAndRecorded) {
    const REGSAM kAnyAccess = 1;
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("System\\GWE"), 1, 0, &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("System\\GWE"), 0, kAnyAccess, &key),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    key = open(TEXT("HARDWARE\\DEVICEMAP\\TOUCH"));
    DWORD reserved = 0, value = 7, size = sizeof value;
    EXPECT_EQ(RegQueryValueExW(key, TEXT("ioBase"), &reserved, nullptr,
                               reinterpret_cast<LPBYTE>(&value), &size),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(RegSetValueExW(key, TEXT("ioBase"), 1, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&value), sizeof value),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(kernel.registry().dword("HARDWARE\\DEVICEMAP\\TOUCH", "ioBase"), 0x60u);
    RegCloseKey(key);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    struct Create {
        DWORD reserved, options;
        REGSAM access;
        LPSECURITY_ATTRIBUTES security;
    };
    for (const Create& c : {Create{1, 0, 0, nullptr}, Create{0, 1, 0, nullptr},
                            Create{0, 0, kAnyAccess, nullptr}, Create{0, 0, 0, &attributes}}) {
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("New"), c.reserved, nullptr, c.options,
                                  c.access, c.security, &key, nullptr),
                  ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(kernel.registry().keyExists("New"));
    expectedFaults = 8;
    const char* calls[] = {"RegOpenKeyExW: options",     "RegOpenKeyExW: access",
                           "RegQueryValueExW: reserved", "RegSetValueExW: reserved",
                           "RegCreateKeyExW: reserved",  "RegCreateKeyExW: options",
                           "RegCreateKeyExW: access",    "RegCreateKeyExW: security"};
    for (std::size_t i = 0; i < kernel.faults().size() && i < expectedFaults; ++i) {
        EXPECT_TRUE(kernel.faults()[i].what.starts_with(calls[i])) << kernel.faults()[i].what;
    }
}

TEST_F(KernelRegistryCalls, BadHandlesAndPointersFailWithoutCrashing) {
    HKEY closed = open(TEXT("System\\GWE"));
    RegCloseKey(closed);
    DWORD size = 4;
    EXPECT_EQ(RegQueryValueExW(closed, TEXT("ActivityEvent"), nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(closed), ERROR_INVALID_HANDLE);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(closed, TEXT("x"), 0, 0, &key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("System"), 0, 0, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, nullptr, 0, nullptr, 0, 0, nullptr, &key, nullptr),
        ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(HKEY_LOCAL_MACHINE, TEXT("v"), 0, REG_DWORD, nullptr, 4),
              ERROR_INVALID_PARAMETER);
    const WCHAR unpaired[] = {0xD800, 'x', 0};
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, unpaired, 0, 0, &key), ERROR_INVALID_PARAMETER);
    // An event handle is not a key, and a key is not a waitable object.
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(RegCloseKey(static_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
    HKEY gwe = open(TEXT("System\\GWE"));
    EXPECT_FALSE(CloseHandle(gwe));
    EXPECT_EQ(WaitForSingleObject(gwe, 0), WAIT_FAILED);
    RegCloseKey(gwe);
    CloseHandle(event);
    expectedFaults = 6;  // each use of a closed or wrong handle
}

}  // namespace
