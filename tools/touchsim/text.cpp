#include "tools/touchsim/text.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "platform/hosted/registry.hpp"
#include "tools/touchsim/scenario.hpp"

namespace touchsim {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
constexpr std::string_view kUtf32LeBom = std::string_view("\xFF\xFE\x00\x00", 4);
constexpr std::string_view kUtf32BeBom = std::string_view("\x00\x00\xFE\xFF", 4);
constexpr char32_t kReplacementLimit = 0x10FFFF;
constexpr char32_t kSurrogateFirst = 0xD800;
constexpr char32_t kSurrogateLast = 0xDFFF;

bool startsWith(const std::string& bytes, std::string_view prefix) {
    return bytes.compare(0, prefix.size(), prefix) == 0;
}

// The length of the valid UTF-8 sequence at `at` and its code point, or
// nothing when the bytes there are not one.
std::optional<std::pair<std::size_t, char32_t>> utf8At(const std::string& text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return std::make_pair(std::size_t{1}, char32_t{lead});
    }
    std::size_t length = 0;
    char32_t code = 0;
    char32_t least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (at + length > text.size()) {
        return std::nullopt;
    }
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) {
            return std::nullopt;
        }
        code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > kReplacementLimit ||
        (code >= kSurrogateFirst && code <= kSurrogateLast)) {
        return std::nullopt;
    }
    return std::make_pair(length, code);
}

bool validUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto one = utf8At(text, i);
        if (!one) {
            return false;
        }
        i += one->first;
    }
    return true;
}

// UTF-16 after its byte-order mark; empty when it is not well formed.
std::optional<std::string> fromUtf16(const std::string& bytes, bool bigEndian) {
    if (bytes.size() % 2 != 0) {
        return std::nullopt;
    }
    std::u16string units;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        units.push_back(static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a));
    }
    std::string out;
    if (!hosted::appendUtf8(units, out)) {
        return std::nullopt;
    }
    return out;
}

// Windows-1252, the ANSI code page of a Western Windows, to UTF-8.  The five
// bytes it leaves undefined stand for the C1 controls of the same number.
std::string fromWindows1252(const std::string& bytes) {
    static constexpr std::array<char16_t, 32> kHigh = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::u16string units;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        units.push_back(byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : char16_t{byte});
    }
    std::string out;
    hosted::appendUtf8(units, out);  // every unit is a whole character
    return out;
}

std::string escaped(char32_t code, bool wide) {
    char text[16];
    std::snprintf(text, sizeof text, wide ? "\\u%04X" : "\\x%02X", static_cast<unsigned>(code));
    return text;
}

bool invisibleControl(char32_t code) {
    const bool c1 = code >= 0x80 && code < 0xA0;
    const bool direction = (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
    return c1 || direction;
}

// Edits (insert, delete, replace, swap two neighbours) from a to b.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t replace = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::optional<std::string> nearestWord(const std::string& word,
                                       const std::vector<std::string>& candidates) {
    // Words too long to compare cheaply are not misspellings of a name.
    constexpr std::size_t kLongestWord = 64;
    constexpr std::size_t kLettersPerEdit = 3;
    if (word.empty() || word.size() > kLongestWord) {
        return std::nullopt;
    }
    const std::size_t allowed = std::max<std::size_t>(1, word.size() / kLettersPerEdit);
    std::optional<std::string> best;
    std::size_t bestDistance = allowed + 1;
    for (const std::string& candidate : candidates) {
        const std::size_t distance = editDistance(word, candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

std::optional<std::string> foreignEncoding(const std::string& bytes) {
    if (startsWith(bytes, kUtf32LeBom) || startsWith(bytes, kUtf32BeBom)) {
        return std::string("UTF-32 (it starts with a UTF-32 byte-order mark)");
    }
    if (startsWith(bytes, kUtf16LeBom)) {
        return std::string("UTF-16, little-endian (it starts with that byte-order mark)");
    }
    if (startsWith(bytes, kUtf16BeBom)) {
        return std::string("UTF-16, big-endian (it starts with that byte-order mark)");
    }
    const std::size_t nul = bytes.find('\0');
    if (nul == std::string::npos) {
        return std::nullopt;
    }
    // Text in UTF-16 without a mark has a zero byte beside each ASCII one.
    std::size_t evenZeros = 0;
    std::size_t oddZeros = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\0') {
            ++(i % 2 == 0 ? evenZeros : oddZeros);
        }
    }
    const std::size_t half = bytes.size() / 2;
    if (oddZeros * 4 >= half * 3 && evenZeros * 4 < half) {
        return std::string("UTF-16, little-endian, without a byte-order mark");
    }
    if (evenZeros * 4 >= half * 3 && oddZeros * 4 < half) {
        return std::string("UTF-16, big-endian, without a byte-order mark");
    }
    return "binary, not text (a zero byte at offset " + std::to_string(nul) + ")";
}

std::string decodeRegText(const std::string& bytes, const std::string& file) {
    if (startsWith(bytes, kUtf8Bom)) {
        std::string text = bytes.substr(kUtf8Bom.size());
        if (!validUtf8(text)) {
            throw ScenarioError(file, 0, "",
                                "starts with a UTF-8 byte-order mark but is not valid UTF-8");
        }
        return text;
    }
    const bool utf32 = startsWith(bytes, kUtf32LeBom) || startsWith(bytes, kUtf32BeBom);
    if (!utf32 && (startsWith(bytes, kUtf16LeBom) || startsWith(bytes, kUtf16BeBom))) {
        const bool bigEndian = startsWith(bytes, kUtf16BeBom);
        if (std::optional<std::string> text = fromUtf16(bytes, bigEndian)) {
            return *text;
        }
        throw ScenarioError(file, 0, "",
                            std::string("starts with a UTF-16 byte-order mark but is not valid "
                                        "UTF-16 ") +
                                (bigEndian ? "(big-endian)" : "(little-endian)"));
    }
    if (const std::optional<std::string> foreign = foreignEncoding(bytes)) {
        throw ScenarioError(file, 0, "",
                            "seems to be " + *foreign +
                                "; a .reg file is read as UTF-16 with a byte-order mark (as "
                                "regedit writes it), UTF-8 or ANSI (Windows-1252)");
    }
    return validUtf8(bytes) ? bytes : fromWindows1252(bytes);
}

std::string terminalSafe(const std::string& text, bool keepNewlines) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto one = utf8At(text, i);
        if (!one) {
            out += escaped(static_cast<unsigned char>(text[i]), false);
            ++i;
            continue;
        }
        const char32_t code = one->second;
        if ((code < 0x20 && !(keepNewlines && code == '\n')) || code == 0x7F) {
            out += escaped(code, false);
        } else if (invisibleControl(code)) {
            out += escaped(code, true);
        } else {
            out.append(text, i, one->first);
        }
        i += one->first;
    }
    return out;
}

std::string fixed(double value, int digits) {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(digits);
    out << value;
    return out.str();
}

}  // namespace touchsim
