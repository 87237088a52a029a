// The hosted registry: keys and values of HKEY_LOCAL_MACHINE in memory.
#include "platform/hosted/registry.hpp"

#include <algorithm>
#include <utility>

namespace hosted {

namespace {

constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr char kSeparator = '\\';

char foldChar(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string fold(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), foldChar);
    return out;
}

bool isControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

// "\\A\\\\B\\" -> "A\\B": separators at either end dropped, runs collapsed.
std::string normalisePath(std::string_view key) {
    std::string out;
    out.reserve(key.size());
    for (char c : key) {
        if (c == kSeparator && (out.empty() || out.back() == kSeparator)) {
            continue;
        }
        out.push_back(c);
    }
    if (!out.empty() && out.back() == kSeparator) {
        out.pop_back();
    }
    return out;
}

std::string parentOf(const std::string& path) {
    const auto cut = path.rfind(kSeparator);
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

std::string lastComponent(const std::string& path) {
    const auto cut = path.rfind(kSeparator);
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

RegParseError::RegParseError(const std::string& file, int line, const std::string& message)
    : std::runtime_error(line > 0 ? file + ":" + std::to_string(line) + ": " + message
                                  : file + ": " + message),
      file_(file),
      line_(line),
      message_(message) {}

bool Registry::PathLess::operator()(const std::string& a, const std::string& b) const {
    // The separator sorts before every other character, so "a\\b" comes
    // right after "a" and before "a b".
    auto rank = [](char c) {
        return c == kSeparator ? -1 : static_cast<int>(static_cast<unsigned char>(c));
    };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char x, char y) { return rank(x) < rank(y); });
}

bool Registry::validKeyPath(const std::string& key) {
    return std::none_of(key.begin(), key.end(), [](char c) { return c == ']' || isControl(c); });
}

bool Registry::validValueName(const std::string& name) {
    return std::none_of(name.begin(), name.end(), isControl);
}

const Registry::KeyData* Registry::find(const std::string& key) const {
    if (!validKeyPath(key)) {
        return nullptr;
    }
    const auto it = keys_.find(fold(normalisePath(key)));
    return it == keys_.end() ? nullptr : &it->second;
}

Registry::KeyData& Registry::create(const std::string& key) {
    if (!validKeyPath(key)) {
        throw std::invalid_argument("registry key name with ']' or a control character: " + key);
    }
    const std::string path = normalisePath(key);
    const std::string folded = fold(path);
    if (const auto it = keys_.find(folded); it != keys_.end()) {
        return it->second;
    }
    // Parents first, so that the stored path keeps the case of each existing
    // ancestor and only the new components take the caller's case.
    const std::string parentPath = create(parentOf(path)).path;
    KeyData data;
    const std::string own = lastComponent(path);
    data.path = parentPath.empty() ? own : parentPath + kSeparator + own;
    return keys_.emplace(folded, std::move(data)).first->second;
}

bool Registry::keyExists(const std::string& key) const {
    return find(key) != nullptr;
}

void Registry::createKey(const std::string& key) {
    create(key);
}

void Registry::removeKey(const std::string& key) {
    if (!validKeyPath(key)) {
        return;
    }
    const std::string folded = fold(normalisePath(key));
    if (folded.empty()) {
        throw std::invalid_argument("the registry root cannot be removed");
    }
    const auto first = keys_.find(folded);
    if (first == keys_.end()) {
        return;
    }
    // Subkeys sort directly after their key (see PathLess).
    const std::string prefix = folded + kSeparator;
    auto last = std::next(first);
    while (last != keys_.end() && last->first.starts_with(prefix)) {
        ++last;
    }
    keys_.erase(first, last);
}

void Registry::setValue(const std::string& key, const std::string& name, RegValue value) {
    if (!validValueName(name)) {
        throw std::invalid_argument("registry value name with a control character: " + name);
    }
    KeyData& data = create(key);
    auto [it, inserted] = data.values.try_emplace(fold(name), StoredValue{name, RegValue{}});
    it->second.value = std::move(value);
}

void Registry::setDword(const std::string& key, const std::string& name, std::uint32_t value) {
    RegValue v;
    v.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8) {
        v.data.push_back(static_cast<std::uint8_t>(value >> shift));
    }
    setValue(key, name, std::move(v));
}

void Registry::setString(const std::string& key, const std::string& name,
                         const std::u16string& value, std::uint32_t type) {
    RegValue v;
    v.type = type;
    v.data.reserve((value.size() + 1) * 2);
    for (char16_t c : value) {
        v.data.push_back(static_cast<std::uint8_t>(c & 0xFF));
        v.data.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    v.data.push_back(0);
    v.data.push_back(0);
    setValue(key, name, std::move(v));
}

void Registry::setBinary(const std::string& key, const std::string& name,
                         const std::vector<std::uint8_t>& bytes) {
    setValue(key, name, RegValue{kRegBinary, bytes});
}

void Registry::removeValue(const std::string& key, const std::string& name) {
    if (!validKeyPath(key)) {
        return;
    }
    const auto it = keys_.find(fold(normalisePath(key)));
    if (it != keys_.end()) {
        it->second.values.erase(fold(name));
    }
}

std::optional<RegValue> Registry::value(const std::string& key, const std::string& name) const {
    const KeyData* data = find(key);
    if (data == nullptr) {
        return std::nullopt;
    }
    const auto it = data->values.find(fold(name));
    if (it == data->values.end()) {
        return std::nullopt;
    }
    return it->second.value;
}

std::optional<std::uint32_t> Registry::dword(const std::string& key,
                                             const std::string& name) const {
    const auto v = value(key, name);
    if (!v || v->type != kRegDword || v->data.size() != 4) {
        return std::nullopt;
    }
    std::uint32_t out = 0;
    for (int i = 3; i >= 0; --i) {
        out = (out << 8) | v->data[static_cast<std::size_t>(i)];
    }
    return out;
}

std::vector<std::string> Registry::keys() const {
    std::vector<std::string> out;
    for (const auto& [folded, data] : keys_) {
        if (!folded.empty()) {
            out.push_back(data.path);
        }
    }
    return out;
}

std::vector<std::string> Registry::valueNames(const std::string& key) const {
    std::vector<std::string> out;
    if (const KeyData* data = find(key)) {
        for (const auto& [folded, stored] : data->values) {
            out.push_back(stored.name);
        }
    }
    return out;
}

void Registry::clear() {
    keys_.clear();
    keys_.emplace("", KeyData{});
}

}  // namespace hosted
