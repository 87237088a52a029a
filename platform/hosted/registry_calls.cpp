// The platform's registry calls over the hosted Registry.  Their reserved
// arguments, and the options and access the platform does not support, must
// be 0 or null: anything else is refused and recorded as a kernel fault.  Keys opened
// through them are kernel objects in the handle table; HKEY_LOCAL_MACHINE is
// the only root.  Names arrive as UTF-16 and the Registry takes UTF-8.
#include <cstring>
#include <stdexcept>

#include "platform/hosted/kernel_impl.hpp"
#include "platform/hosted/registry.hpp"

using hosted::Kernel;
using hosted::KeyObject;
using hosted::ObjectKind;

namespace {

constexpr std::size_t kMaxNameLength = 32767;  // characters in a key path or value name
constexpr DWORD kMaxValueSize = 1024 * 1024;   // bytes in one value

// UTF-16 text as UTF-8; nullopt when it is unterminated within the name
// limit or holds an unpaired surrogate.
std::optional<std::string> toUtf8(LPCWSTR text) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    std::size_t length = 0;
    while (length < kMaxNameLength && text[length] != 0) {
        ++length;
    }
    if (length == kMaxNameLength || !hosted::appendUtf8(std::u16string_view(text, length), out)) {
        return std::nullopt;
    }
    return out;
}

// The path of an open key ("" for the root), or nullopt for a bad handle.
std::optional<std::string> keyPath(Kernel::Impl& k, HKEY key, const char* call) {
    if (key == HKEY_LOCAL_MACHINE) {
        return std::string();
    }
    const auto object = k.lookup(key, call, ObjectKind::Key);
    if (!object) {
        return std::nullopt;
    }
    return static_cast<KeyObject&>(*object).path;
}

std::string join(const std::string& parent, const std::string& sub) {
    if (parent.empty()) {
        return sub;
    }
    return sub.empty() ? parent : parent + "\\" + sub;
}

LONG openKey(Kernel::Impl& k, const std::string& path, PHKEY result) {
    HANDLE handle = k.addHandle(std::make_shared<KeyObject>(path));
    if (handle == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    *result = static_cast<HKEY>(handle);
    k.trace("opens registry key " + k.handleText(handle) + " \"" + path + "\"");
    return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES attributes, PHKEY result,
                     LPDWORD disposition) {
    Kernel::Impl& k = Kernel::Impl::forCall("RegCreateKeyExW");
    if (k.refuseArgument("RegCreateKeyExW", "reserved argument not 0", reserved == 0) ||
        k.refuseArgument("RegCreateKeyExW", "options not 0", options == 0) ||
        k.refuseArgument("RegCreateKeyExW", "access not 0", desired == 0) ||
        k.refuseArgument("RegCreateKeyExW", "security attributes not null",
                         attributes == nullptr) ||
        result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    const std::optional<std::string> parent = keyPath(k, key, "RegCreateKeyExW");
    if (!parent) {
        return ERROR_INVALID_HANDLE;
    }
    const std::optional<std::string> sub = toUtf8(subKey);
    if (subKey == nullptr || !sub) {
        return ERROR_INVALID_PARAMETER;
    }
    if (k.injectFailure(hosted::FaultPoint::RegistryOpen)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string path = join(*parent, *sub);
    const bool existed = k.registry.keyExists(path);
    if (!existed) {
        try {
            k.registry.createKey(path);
        } catch (const std::invalid_argument&) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    if (disposition != nullptr) {
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    }
    return openKey(k, path, result);
}

LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    Kernel::Impl& k = Kernel::Impl::forCall("RegOpenKeyExW");
    if (k.refuseArgument("RegOpenKeyExW", "options not 0", options == 0) ||
        k.refuseArgument("RegOpenKeyExW", "access not 0", desired == 0) || result == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    const std::optional<std::string> parent = keyPath(k, key, "RegOpenKeyExW");
    if (!parent) {
        return ERROR_INVALID_HANDLE;
    }
    const std::optional<std::string> sub = toUtf8(subKey);
    if (!sub) {
        return ERROR_INVALID_PARAMETER;
    }
    if (k.injectFailure(hosted::FaultPoint::RegistryOpen)) {
        return ERROR_FILE_NOT_FOUND;
    }
    const std::string path = join(*parent, *sub);
    if (!k.registry.keyExists(path)) {
        return ERROR_FILE_NOT_FOUND;
    }
    return openKey(k, path, result);
}

LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
    Kernel::Impl& k = Kernel::Impl::forCall("RegQueryValueExW");
    if (k.refuseArgument("RegQueryValueExW", "reserved pointer not null", reserved == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::optional<std::string> path = keyPath(k, key, "RegQueryValueExW");
    if (!path) {
        return ERROR_INVALID_HANDLE;
    }
    const std::optional<std::string> name = toUtf8(valueName);
    if (!name || (data != nullptr && dataSize == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::optional<hosted::RegValue> value = k.registry.value(*path, *name);
    if (!value) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr) {
        *type = value->type;
    }
    const auto needed = static_cast<DWORD>(value->data.size());
    if (data == nullptr) {
        if (dataSize != nullptr) {
            *dataSize = needed;
        }
        return ERROR_SUCCESS;
    }
    if (*dataSize < needed) {
        // The platform leaves the buffer undefined: whatever it held is gone.
        std::memset(data, k.config().undefinedFill, *dataSize);
        *dataSize = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0) {
        std::memcpy(data, value->data.data(), needed);
    }
    *dataSize = needed;
    return ERROR_SUCCESS;
}

LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize) {
    Kernel::Impl& k = Kernel::Impl::forCall("RegSetValueExW");
    if (k.refuseArgument("RegSetValueExW", "reserved argument not 0", reserved == 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::optional<std::string> path = keyPath(k, key, "RegSetValueExW");
    if (!path) {
        return ERROR_INVALID_HANDLE;
    }
    const std::optional<std::string> name = toUtf8(valueName);
    if (!name || (data == nullptr && dataSize != 0) || dataSize > kMaxValueSize) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!k.registry.keyExists(*path)) {
        return ERROR_FILE_NOT_FOUND;  // the key was removed after it was opened
    }
    hosted::RegValue value;
    value.type = type;
    if (dataSize > 0) {
        value.data.assign(data, data + dataSize);
    }
    try {
        k.registry.setValue(*path, *name, std::move(value));
    } catch (const std::invalid_argument&) {
        return ERROR_INVALID_PARAMETER;
    }
    k.trace("sets registry value \"" + *name + "\" of \"" + *path + "\"");
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    Kernel::Impl& k = Kernel::Impl::forCall("RegCloseKey");
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    return k.closeHandle(key, "RegCloseKey", ObjectKind::Key) ? ERROR_SUCCESS
                                                              : ERROR_INVALID_HANDLE;
}

}  // extern "C"
