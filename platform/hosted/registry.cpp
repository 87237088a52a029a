// The hosted registry: keys and values of HKEY_LOCAL_MACHINE in memory, read
// from and written as the .reg text of board-support packages.
#include "platform/hosted/registry.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string_view>
#include <utility>

namespace hosted {

namespace {

constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr char kSeparator = '\\';
// The limits of the platform's registry.
constexpr std::size_t kMaxKeyDepth = 512;
constexpr std::size_t kMaxKeyNameBytes = 255;
constexpr std::size_t kMaxValueNameBytes = 16383;

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

// The names along a key path; separators at either end and repeated ones
// name nothing, so "\\A\\\\B\\" is "A\\B".
std::vector<std::string_view> components(std::string_view key) {
    std::vector<std::string_view> out;
    while (!key.empty()) {
        const auto cut = key.find(kSeparator);
        if (cut != 0) {
            out.push_back(key.substr(0, cut));
        }
        key.remove_prefix(cut == std::string_view::npos ? key.size() : cut + 1);
    }
    return out;
}

}  // namespace

RegParseError::RegParseError(const std::string& file, int line, const std::string& message)
    : std::runtime_error(line > 0 ? file + ":" + std::to_string(line) + ": " + message
                                  : file + ": " + message),
      file_(file),
      line_(line),
      message_(message) {}

bool Registry::validKeyPath(const std::string& key) {
    if (std::any_of(key.begin(), key.end(), [](char c) { return c == ']' || isControl(c); })) {
        return false;
    }
    const auto names = components(key);
    return names.size() <= kMaxKeyDepth &&
           std::all_of(names.begin(), names.end(),
                       [](std::string_view name) { return name.size() <= kMaxKeyNameBytes; });
}

bool Registry::validValueName(const std::string& name) {
    return name.size() <= kMaxValueNameBytes && std::none_of(name.begin(), name.end(), isControl);
}

std::optional<Registry::Entry> Registry::findEntry(const std::string& key) const {
    if (!validKeyPath(key)) {
        return std::nullopt;
    }
    std::optional<Entry> entry;
    KeyId parent = 0;
    for (const std::string_view name : components(key)) {
        const auto it = keys_.find({parent, fold(name)});
        if (it == keys_.end()) {
            return std::nullopt;
        }
        entry = it;
        parent = it->second.id;
    }
    return entry;
}

const Registry::KeyData* Registry::find(const std::string& key) const {
    if (components(key).empty()) {
        return &root_;
    }
    const auto entry = findEntry(key);
    return entry ? &(*entry)->second : nullptr;
}

Registry::KeyData& Registry::create(const std::string& key) {
    if (!validKeyPath(key)) {
        throw std::invalid_argument("registry key path that cannot be stored: " + key);
    }
    KeyData* data = &root_;
    for (const std::string_view name : components(key)) {
        // An existing key keeps the case of its first creation.
        auto [it, inserted] = keys_.try_emplace({data->id, fold(name)});
        if (inserted) {
            it->second.id = nextId_++;
            it->second.name = std::string(name);
        }
        data = &it->second;
    }
    return *data;
}

std::pair<Registry::Entry, Registry::Entry> Registry::subkeys(KeyId id) const {
    return {keys_.lower_bound({id, std::string()}), keys_.lower_bound({id + 1, std::string()})};
}

void Registry::walk(const KeyVisitor& visit) const {
    // Depth first without recursion: one frame per open level, one path
    // buffer cut back to the frame's length before each sibling.
    struct Frame {
        Entry next;
        Entry end;
        std::size_t pathLength;
    };
    std::string path;
    auto [first, last] = subkeys(root_.id);
    std::vector<Frame> open{{first, last, 0}};
    while (!open.empty()) {
        Frame& frame = open.back();
        if (frame.next == frame.end) {
            open.pop_back();
            continue;
        }
        const KeyData& key = (frame.next++)->second;
        path.resize(frame.pathLength);
        path += (path.empty() ? "" : "\\") + key.name;
        const auto [childFirst, childLast] = subkeys(key.id);
        visit(path, key, childFirst != childLast);
        open.push_back({childFirst, childLast, path.size()});
    }
}

bool Registry::keyExists(const std::string& key) const {
    return find(key) != nullptr;
}

void Registry::createKey(const std::string& key) {
    create(key);
}

void Registry::removeKey(const std::string& key) {
    if (validKeyPath(key) && components(key).empty()) {
        throw std::invalid_argument("the registry root cannot be removed");
    }
    const auto entry = findEntry(key);
    if (!entry) {
        return;
    }
    std::vector<KeyId> doomed{(*entry)->second.id};
    keys_.erase(*entry);
    while (!doomed.empty()) {
        const KeyId id = doomed.back();
        doomed.pop_back();
        const auto [first, last] = subkeys(id);
        for (auto it = first; it != last; ++it) {
            doomed.push_back(it->second.id);
        }
        keys_.erase(first, last);
    }
}

void Registry::setValue(const std::string& key, const std::string& name, RegValue value) {
    if (!validValueName(name)) {
        throw std::invalid_argument("registry value name that cannot be stored: " + name);
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
    if (keyExists(key)) {
        create(key).values.erase(fold(name));  // finds the existing key
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
    walk([&](const std::string& path, const KeyData&, bool) { out.push_back(path); });
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
    root_.values.clear();
}

// ---- text encodings ------------------------------------------------------

bool appendUtf8(std::u16string_view utf16, std::string& out) {
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 == utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF) {
                return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return true;
}

// ---- .reg text ------------------------------------------------------------

namespace {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegMultiSz = 7;
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kRootShortName = "HKLM";
constexpr std::string_view kOtherRootPrefix = "hkey_";
constexpr std::string_view kOtherRootShortNames[] = {"hkcu", "hkcr", "hku", "hkcc"};
constexpr std::string_view kHeaders[] = {"REGEDIT4", "Windows Registry Editor Version 5.00"};
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::size_t kMaxDwordDigits = 8;
constexpr std::size_t kMaxHexByteDigits = 2;
constexpr std::size_t kMaxQuotedInMessage = 40;
constexpr std::size_t kHexLineWidth = 76;  // wrap hex data before 80 columns
constexpr std::uintmax_t kMaxFileBytes = 16u << 20;

bool isSpace(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isSpace(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool equalsFolded(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return foldChar(x) == foldChar(y);
           });
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char f = foldChar(c);
    return (f >= 'a' && f <= 'f') ? f - 'a' + 10 : -1;
}

// Text from the file, shortened and with control characters masked, for use
// inside an error message.
std::string shown(std::string_view text) {
    std::string out(text.substr(0, kMaxQuotedInMessage));
    std::replace_if(out.begin(), out.end(), isControl, '?');
    return "'" + out + (text.size() > kMaxQuotedInMessage ? "...'" : "'");
}

// The line up to a ';' comment; a ';' inside a quoted string starts none.
std::string_view stripComment(std::string_view line) {
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '\\') {
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ';' && !quoted) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    return lines;
}

// UTF-8 to UTF-16; false for malformed text (overlong forms, surrogates,
// code points past U+10FFFF, truncated sequences).
bool appendUtf16(std::string_view utf8, std::u16string& out) {
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t extra = 0;
        char32_t cp = lead;
        char32_t minimum = 0;
        if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, cp = lead & 0x07, minimum = 0x10000;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, cp = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, cp = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0x80) {
            return false;
        }
        if (utf8.size() - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (next & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return true;
}

void appendUtf16Le(std::u16string_view text, std::vector<std::uint8_t>& out) {
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
}

// One change read from the text; a load applies them all or none.
struct TextEdit {
    enum class Kind { CreateKey, RemoveKey, SetValue, RemoveValue };
    Kind kind;
    std::string key;
    std::string name;
    RegValue value;
};

// Reads .reg text line by line into edits.  Nothing recurses on the input,
// and every allocation is bounded by the size of the text.
class RegTextParser {
  public:
    RegTextParser(std::string_view text, std::string fileName,
                  const std::vector<std::string>& defines)
        : file_(std::move(fileName)), defines_(defines) {
        if (text.starts_with(kUtf8Bom)) {
            text.remove_prefix(kUtf8Bom.size());
        }
        lines_ = splitLines(text);
    }

    std::vector<TextEdit> parse() {
        while (next_ < lines_.size()) {
            const int line = static_cast<int>(next_) + 1;
            parseLine(trim(lines_[next_++]), line);
        }
        if (!openIfs_.empty()) {
            fail(openIfs_.back().line, "IF without ENDIF before the end of the file");
        }
        return std::move(edits_);
    }

  private:
    // The part of the data of a value on one physical line.
    struct Segment {
        int line;
        std::string_view text;
    };
    struct OpenIf {
        int line;
        bool holds;
    };
    enum class KeyState { None, Open, Removed };

    [[noreturn]] void fail(int line, const std::string& message) const {
        throw RegParseError(file_, line, message);
    }

    void parseLine(std::string_view text, int line) {
        const std::string_view word = text.substr(0, text.find_first_of(" \t;"));
        if (equalsFolded(word, "IF")) {
            seenContent_ = true;
            return parseIf(text.substr(word.size()), line);
        }
        if (equalsFolded(word, "ENDIF")) {
            seenContent_ = true;
            return parseEndif(text.substr(word.size()), line);
        }
        if (falseBlocks_ > 0 || text.empty() || text.front() == ';') {
            return;
        }
        if (std::find(std::begin(kHeaders), std::end(kHeaders), text) != std::end(kHeaders)) {
            if (seenContent_) {
                fail(line, "header " + shown(text) + " is only allowed as the first line");
            }
            seenContent_ = true;
            return;
        }
        seenContent_ = true;
        if (text.front() == '[') {
            return parseSection(text.substr(1), line);
        }
        if (text.front() == '"' || text.front() == '@') {
            return parseValue(text, line);
        }
        fail(line, "unrecognised line " + shown(text));
    }

    // ---- IF NAME / IF NAME ! / ENDIF ----

    bool defined(std::string_view name) const {
        return std::any_of(defines_.begin(), defines_.end(),
                           [&](const std::string& d) { return equalsFolded(d, name); });
    }

    void parseIf(std::string_view rest, int line) {
        std::vector<std::string_view> words;
        rest = trim(stripComment(rest));
        while (!rest.empty()) {
            const auto end = rest.find_first_of(" \t");
            words.push_back(rest.substr(0, end));
            rest = trim(rest.substr(end == std::string_view::npos ? rest.size() : end));
        }
        bool negate = false;
        if (words.size() == 2 && words[1] == "!") {
            negate = true;
        } else if (words.size() == 1 && words[0].size() > 1 && words[0].back() == '!') {
            negate = true;
            words[0].remove_suffix(1);
        } else if (words.size() > 1) {
            fail(line, "unexpected text after the IF condition: " + shown(words[1]));
        }
        if (words.empty() || words[0] == "!") {
            fail(line, "IF without a name");
        }
        const bool holds = defined(words[0]) != negate;
        openIfs_.push_back({line, holds});
        falseBlocks_ += holds ? 0 : 1;
    }

    void parseEndif(std::string_view rest, int line) {
        rest = trim(stripComment(rest));
        if (!rest.empty()) {
            fail(line, "unexpected text after ENDIF: " + shown(rest));
        }
        if (openIfs_.empty()) {
            fail(line, "ENDIF without IF");
        }
        falseBlocks_ -= openIfs_.back().holds ? 0 : 1;
        openIfs_.pop_back();
    }

    // ---- [KEY] and [-KEY] ----

    void parseSection(std::string_view text, int line) {
        const bool remove = text.starts_with('-');
        if (remove) {
            text.remove_prefix(1);
        }
        const auto close = text.find(']');
        if (close == std::string_view::npos) {
            fail(line, "missing ']' after the key name");
        }
        const std::string_view after = trim(stripComment(text.substr(close + 1)));
        if (!after.empty()) {
            fail(line, "unexpected text after ']': " + shown(after));
        }
        std::string path = keyPath(text.substr(0, close), line);
        if (remove && path.empty()) {
            fail(line, "the root key cannot be deleted");
        }
        keyState_ = remove ? KeyState::Removed : KeyState::Open;
        key_ = path;
        edits_.push_back({remove ? TextEdit::Kind::RemoveKey : TextEdit::Kind::CreateKey,
                          std::move(path),
                          {},
                          {}});
    }

    // "HKEY_LOCAL_MACHINE\A\B", "HKLM\A\B", "\A\B" and "A\B" all give "A\B".
    std::string keyPath(std::string_view name, int line) const {
        if (std::any_of(name.begin(), name.end(), isControl)) {
            fail(line, "control character in the key name");
        }
        if (name.starts_with(kSeparator)) {
            name.remove_prefix(1);
        }
        if (name.empty()) {
            fail(line, "empty key name");
        }
        std::vector<std::string_view> parts;
        while (true) {
            const auto cut = name.find(kSeparator);
            parts.push_back(name.substr(0, cut));
            if (parts.back().empty()) {
                fail(line, "empty key name between backslashes (repeated or trailing '\\')");
            }
            if (cut == std::string_view::npos) {
                break;
            }
            name.remove_prefix(cut + 1);
        }
        const std::string first = fold(parts.front());
        if (equalsFolded(first, kRootName) || equalsFolded(first, kRootShortName)) {
            parts.erase(parts.begin());
        } else if (first.starts_with(kOtherRootPrefix) ||
                   std::find(std::begin(kOtherRootShortNames), std::end(kOtherRootShortNames),
                             first) != std::end(kOtherRootShortNames)) {
            fail(line, "unsupported root key " + shown(parts.front()) + ", only " +
                           std::string(kRootName) + " is kept");
        }
        if (parts.size() > kMaxKeyDepth) {
            fail(line, "key path deeper than " + std::to_string(kMaxKeyDepth) + " levels");
        }
        for (const auto part : parts) {
            if (part.size() > kMaxKeyNameBytes) {
                fail(line, "key name " + shown(part) + " longer than " +
                               std::to_string(kMaxKeyNameBytes) + " bytes");
            }
        }
        std::string path;
        for (const auto part : parts) {
            path += (path.empty() ? "" : "\\") + std::string(part);
        }
        return path;
    }

    // ---- "name"=data and @=data ----

    void parseValue(std::string_view text, int line) {
        text = trim(stripComment(text));
        std::string name;
        if (text.front() == '@') {
            text.remove_prefix(1);
        } else {
            name = quoted(text, line);
            if (name.size() > kMaxValueNameBytes) {
                fail(line,
                     "value name longer than " + std::to_string(kMaxValueNameBytes) + " bytes");
            }
            if (!Registry::validValueName(name)) {
                fail(line, "control character in the value name");
            }
        }
        text = trim(text);
        if (!text.starts_with('=')) {
            fail(line, "missing '=' after the value name");
        }
        text = trim(text.substr(1));
        if (keyState_ == KeyState::None) {
            fail(line, "value before any key");
        }
        if (keyState_ == KeyState::Removed) {
            fail(line, "value after a key deletion, with no key to hold it");
        }
        if (text == "-") {
            edits_.push_back({TextEdit::Kind::RemoveValue, key_, std::move(name), {}});
            return;
        }
        edits_.push_back({TextEdit::Kind::SetValue, key_, std::move(name), data(text, line)});
    }

    RegValue data(std::string_view text, int line) {
        if (text.empty()) {
            fail(line, "missing data after '='");
        }
        if (text.front() == '"') {
            std::u16string chars = utf16(quoted(text, line), line);
            if (!trim(text).empty()) {
                fail(line, "unexpected text after the string: " + shown(trim(text)));
            }
            return stringValue(chars, kRegSz);
        }
        const auto colon = text.find(':');
        if (colon == std::string_view::npos) {
            fail(line, "unrecognised data " + shown(text) +
                           " (expected \"text\", dword:, hex:, hex(N):, multi_sz: or -)");
        }
        const std::string_view type = trim(text.substr(0, colon));
        const std::string_view body = text.substr(colon + 1);
        if (equalsFolded(type, "dword")) {
            return dword(trim(body), line);
        }
        if (equalsFolded(type, "hex")) {
            return hex(continued(body, line), kRegBinary);
        }
        if (equalsFolded(type.substr(0, 4), "hex(")) {
            return hex(continued(body, line), hexType(type, line));
        }
        if (equalsFolded(type, "multi_sz")) {
            return multiString(continued(body, line));
        }
        fail(line, "unknown type " + shown(type));
    }

    // A quoted string at the front of `text`, which is left just after the
    // closing quote.  Only \" and \\ are escapes.
    std::string quoted(std::string_view& text, int line) const {
        std::string out;
        for (std::size_t i = 1; i < text.size(); ++i) {
            char c = text[i];
            if (c == '"') {
                text.remove_prefix(i + 1);
                return out;
            }
            if (c == '\\') {
                if (++i == text.size()) {
                    break;
                }
                c = text[i];
                if (c != '"' && c != '\\') {
                    fail(line, "bad escape '\\" + std::string(1, c) +
                                   "' in a string (only \\\" and \\\\ are allowed)");
                }
            } else if (isControl(c) && c != '\t') {
                fail(line, "control character in a string");
            }
            out.push_back(c);
        }
        fail(line, "unterminated string");
    }

    std::u16string utf16(const std::string& utf8, int line) const {
        std::u16string out;
        if (!appendUtf16(utf8, out)) {
            fail(line, "string is not valid UTF-8");
        }
        return out;
    }

    static RegValue stringValue(std::u16string_view chars, std::uint32_t type) {
        RegValue v{type, {}};
        appendUtf16Le(chars, v.data);
        appendUtf16Le(std::u16string_view(u"\0", 1), v.data);
        return v;
    }

    RegValue dword(std::string_view digits, int line) const {
        if (digits.empty()) {
            fail(line, "missing hex digits after dword:");
        }
        std::uint32_t number = 0;
        for (char c : digits) {
            if (hexDigit(c) < 0) {
                fail(line, "bad hex digit " + shown(std::string_view(&c, 1)) + " in a dword");
            }
            number = (number << 4) | static_cast<std::uint32_t>(hexDigit(c));
        }
        if (digits.size() > kMaxDwordDigits) {
            fail(line, "dword too long: more than 8 hex digits");
        }
        RegValue v{kRegDword, {}};
        for (int shift = 0; shift < 32; shift += 8) {
            v.data.push_back(static_cast<std::uint8_t>(number >> shift));
        }
        return v;
    }

    // The type number N of "hex(N)", in hex as regedit writes it.
    std::uint32_t hexType(std::string_view type, int line) const {
        const std::string_view digits = type.substr(4, type.size() - 4 - 1);
        if (!type.ends_with(')') || type.size() < 6 || digits.size() > kMaxDwordDigits ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return hexDigit(c) >= 0; })) {
            fail(line, "bad type " + shown(type) + ", expected hex(N) with N in hex digits");
        }
        std::uint32_t number = 0;
        for (char c : digits) {
            number = (number << 4) | static_cast<std::uint32_t>(hexDigit(c));
        }
        return number;
    }

    // The data of a value and the lines it continues on: a line whose data
    // ends in '\' goes on with the next line.
    std::vector<Segment> continued(std::string_view body, int line) {
        std::vector<Segment> segments{{line, trim(body)}};
        while (segments.back().text.ends_with('\\')) {
            Segment& last = segments.back();
            last.text = trim(last.text.substr(0, last.text.size() - 1));
            if (next_ >= lines_.size()) {
                fail(last.line, "'\\' continues the value past the end of the file");
            }
            const int nextLine = static_cast<int>(next_) + 1;
            segments.push_back({nextLine, trim(stripComment(lines_[next_++]))});
        }
        return segments;
    }

    RegValue hex(const std::vector<Segment>& segments, std::uint32_t type) const {
        RegValue v{type, {}};
        for (std::size_t s = 0; s < segments.size(); ++s) {
            std::string_view text = segments[s].text;
            const int line = segments[s].line;
            if (text.empty()) {
                continue;
            }
            if (text.ends_with(',')) {
                if (s + 1 == segments.size()) {
                    fail(line, "missing hex byte after the last ','");
                }
                text.remove_suffix(1);
            }
            while (true) {
                const auto comma = text.find(',');
                v.data.push_back(hexByte(trim(text.substr(0, comma)), line));
                if (comma == std::string_view::npos) {
                    break;
                }
                text.remove_prefix(comma + 1);
            }
        }
        return v;
    }

    std::uint8_t hexByte(std::string_view digits, int line) const {
        if (digits.empty()) {
            fail(line, "missing hex byte between ','");
        }
        unsigned byte = 0;
        for (char c : digits) {
            if (hexDigit(c) < 0) {
                fail(line, "bad hex digit " + shown(std::string_view(&c, 1)));
            }
            byte = (byte << 4) | static_cast<unsigned>(hexDigit(c));
        }
        if (digits.size() > kMaxHexByteDigits) {
            fail(line, "hex byte " + shown(digits) + " has more than two digits");
        }
        return static_cast<std::uint8_t>(byte);
    }

    RegValue multiString(const std::vector<Segment>& segments) const {
        std::u16string chars;
        for (std::size_t s = 0; s < segments.size(); ++s) {
            std::string_view text = segments[s].text;
            const int line = segments[s].line;
            while (!text.empty()) {
                if (!text.starts_with('"')) {
                    fail(line, "expected a quoted string in multi_sz, found " + shown(text));
                }
                chars += utf16(quoted(text, line), line);
                chars.push_back(u'\0');
                text = trim(text);
                if (text.empty()) {
                    break;
                }
                if (!text.starts_with(',')) {
                    fail(line,
                         "expected ',' between the strings of a multi_sz, found " + shown(text));
                }
                text = trim(text.substr(1));
                if (text.empty() && s + 1 == segments.size()) {
                    fail(line, "missing string after the last ','");
                }
            }
        }
        return stringValue(chars, kRegMultiSz);
    }

    std::vector<std::string_view> lines_;
    std::size_t next_ = 0;  // index of the next line to read
    std::string file_;
    const std::vector<std::string>& defines_;
    std::vector<OpenIf> openIfs_;
    int falseBlocks_ = 0;  // open IF blocks whose condition does not hold
    bool seenContent_ = false;
    KeyState keyState_ = KeyState::None;
    std::string key_;
    std::vector<TextEdit> edits_;
};

// ---- Writing ----

std::string quotedText(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out + "\"";
}

std::u16string_view asUtf16(const std::vector<std::uint8_t>& bytes, std::u16string& storage) {
    storage.clear();
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        storage.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return storage;
}

// The text of UTF-16 characters when it can be written between quotes and
// read back unchanged: no NUL, no unpaired surrogate, no control character
// other than tab.
std::optional<std::string> printable(std::u16string_view chars) {
    std::string out;
    if (!appendUtf8(chars, out) ||
        std::any_of(out.begin(), out.end(), [](char c) { return isControl(c) && c != '\t'; })) {
        return std::nullopt;
    }
    return out;
}

// REG_SZ data as "text", when it is one terminated string.
std::optional<std::string> stringData(const RegValue& v) {
    std::u16string storage;
    const std::u16string_view chars = asUtf16(v.data, storage);
    if (v.data.size() % 2 != 0 || chars.empty() || chars.back() != u'\0') {
        return std::nullopt;
    }
    const auto text = printable(chars.substr(0, chars.size() - 1));
    return text ? std::optional<std::string>(quotedText(*text)) : std::nullopt;
}

// REG_MULTI_SZ data as multi_sz:"a","b", when it is terminated strings
// followed by the final terminator.
std::optional<std::string> multiStringData(const RegValue& v) {
    std::u16string storage;
    std::u16string_view chars = asUtf16(v.data, storage);
    if (v.data.size() % 2 != 0 || chars.empty() || chars.back() != u'\0') {
        return std::nullopt;
    }
    chars.remove_suffix(1);
    if (!chars.empty() && chars.back() != u'\0') {
        return std::nullopt;
    }
    std::string out = "multi_sz:";
    while (!chars.empty()) {
        const auto end = chars.find(u'\0');
        const auto text = printable(chars.substr(0, end));
        if (!text) {
            return std::nullopt;
        }
        out += (out.back() == ':' ? "" : ",") + quotedText(*text);
        chars.remove_prefix(end + 1);
    }
    return out;
}

std::string hexData(const RegValue& v, std::size_t column) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    if (v.type == kRegBinary) {
        out = "hex:";
    } else {
        char type[16];
        std::snprintf(type, sizeof type, "hex(%x):", static_cast<unsigned>(v.type));
        out = type;
    }
    column += out.size();
    for (std::size_t i = 0; i < v.data.size(); ++i) {
        out.push_back(kDigits[v.data[i] >> 4]);
        out.push_back(kDigits[v.data[i] & 0xF]);
        column += 2;
        if (i + 1 < v.data.size()) {
            out.push_back(',');
            ++column;
            if (column >= kHexLineWidth) {
                out += "\\\n  ";
                column = 2;
            }
        }
    }
    return out;
}

std::string valueData(const RegValue& v, std::size_t column) {
    std::optional<std::string> text;
    if (v.type == kRegDword && v.data.size() == 4) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x",
                      static_cast<unsigned>(v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                                            (static_cast<unsigned>(v.data[3]) << 24)));
        text = digits;
    } else if (v.type == kRegSz) {
        text = stringData(v);
    } else if (v.type == kRegMultiSz) {
        text = multiStringData(v);
    }
    return text ? *text : hexData(v, column);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw RegParseError(path, 0, "cannot open the file");
    }
    in.seekg(0, std::ios::end);
    const auto size = static_cast<std::uintmax_t>(in.tellg());
    if (!in || size > kMaxFileBytes) {
        throw RegParseError(path, 0, "the file is too large or cannot be read");
    }
    in.seekg(0, std::ios::beg);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) {
        throw RegParseError(path, 0, "cannot read the file");
    }
    return bytes;
}

// regedit writes UTF-16LE files with a byte order mark; everything else is
// taken as UTF-8.
std::string utf8Text(const std::string& bytes, const std::string& path) {
    if (!bytes.starts_with("\xFF\xFE")) {
        return bytes;
    }
    std::u16string chars;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        chars.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
    }
    std::string out;
    if (bytes.size() % 2 != 0 || !appendUtf8(chars, out)) {
        throw RegParseError(path, 0, "the UTF-16 text is malformed");
    }
    return out;
}

}  // namespace

void Registry::loadText(const std::string& text, const std::string& fileName,
                        const std::vector<std::string>& defines) {
    const std::vector<TextEdit> edits = RegTextParser(text, fileName, defines).parse();
    Registry next = *this;
    for (const TextEdit& edit : edits) {
        switch (edit.kind) {
            case TextEdit::Kind::CreateKey:
                next.createKey(edit.key);
                break;
            case TextEdit::Kind::RemoveKey:
                next.removeKey(edit.key);
                break;
            case TextEdit::Kind::SetValue:
                next.setValue(edit.key, edit.name, edit.value);
                break;
            case TextEdit::Kind::RemoveValue:
                next.removeValue(edit.key, edit.name);
                break;
        }
    }
    *this = std::move(next);
}

void Registry::loadFile(const std::string& path, const std::vector<std::string>& defines) {
    loadText(utf8Text(readFile(path), path), path, defines);
}

std::string Registry::toText() const {
    std::string out = std::string(kHeaders[0]) + "\n";
    auto writeKey = [&](const std::string& path, const KeyData& key) {
        out += "\n[" + std::string(kRootName) + (path.empty() ? "" : "\\") + path + "]\n";
        for (const auto& [folded, stored] : key.values) {
            const std::string name = stored.name.empty() ? "@" : quotedText(stored.name);
            out += name + "=" + valueData(stored.value, name.size() + 1) + "\n";
        }
    };
    // The root exists anyway and a key without values is implied by its
    // subkeys: write them only when they hold something.
    if (!root_.values.empty()) {
        writeKey("", root_);
    }
    walk([&](const std::string& path, const KeyData& key, bool hasSubkeys) {
        if (!key.values.empty() || !hasSubkeys) {
            writeKey(path, key);
        }
    });
    return out;
}

}  // namespace hosted
