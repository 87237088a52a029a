// The hosted registry: HKEY_LOCAL_MACHINE in memory, loaded from and written
// back to the .reg text that board-support packages use.
//
// Key paths are given without the root ("HARDWARE\\DEVICEMAP\\TOUCH"); names
// are case-insensitive, and a leading backslash names the same key.  The empty
// value name is the key's default value ("@" in .reg text).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace hosted {

struct RegValue {
    std::uint32_t type = 0;          // REG_SZ, REG_DWORD, ...
    std::vector<std::uint8_t> data;  // exactly as RegQueryValueExW returns it
};

// A .reg text that cannot be loaded; what() names the file and the line.
class RegParseError : public std::runtime_error {
public:
    RegParseError(const std::string& file, int line, const std::string& message);
    const std::string& file() const { return file_; }
    int line() const { return line_; }
    const std::string& message() const { return message_; }

private:
    std::string file_;
    int line_;
    std::string message_;
};

class Registry {
public:
    // ---- Keys ----
    bool keyExists(const std::string& key) const;
    void createKey(const std::string& key);  // with its parents
    void removeKey(const std::string& key);  // with its subkeys

    // ---- Values ----
    void setValue(const std::string& key, const std::string& name, RegValue value);
    void setDword(const std::string& key, const std::string& name, std::uint32_t value);
    void setString(const std::string& key, const std::string& name, const std::u16string& value,
                   std::uint32_t type = 1 /* REG_SZ */);
    void setBinary(const std::string& key, const std::string& name,
                   const std::vector<std::uint8_t>& bytes);
    void removeValue(const std::string& key, const std::string& name);
    std::optional<RegValue> value(const std::string& key, const std::string& name) const;
    std::optional<std::uint32_t> dword(const std::string& key, const std::string& name) const;

    // ---- .reg text ----
    // Load .reg text (keys in brackets, "name"=dword:hex, strings, hex:,
    // hex(n):, multi_sz:, @, ; comments, escaped quotes and backslashes, and
    // the IF/ENDIF blocks of board-support files, whose conditions are looked
    // up in `defines`).  Throws RegParseError naming `fileName` and the line.
    void loadText(const std::string& text, const std::string& fileName,
                  const std::vector<std::string>& defines = {});
    void loadFile(const std::string& path, const std::vector<std::string>& defines = {});
    std::string toText() const;  // loadText(toText()) gives the same registry

    // Key names as stored (with the case of their first creation), sorted.
    std::vector<std::string> keys() const;
    std::vector<std::string> valueNames(const std::string& key) const;

    void clear();

    // Names that can be stored and written back as .reg text: a key path has
    // no ']' and no control character, a value name no control character.
    // The setters and createKey throw std::invalid_argument for any other
    // name; the queries simply find nothing.
    static bool validKeyPath(const std::string& key);
    static bool validValueName(const std::string& name);

    struct Key;  // internal

private:
    // Orders folded paths so that a key's subkeys follow it directly.
    struct PathLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    struct StoredValue {
        std::string name;  // as first set
        RegValue value;
    };
    struct KeyData {
        std::string path;                           // as first created
        std::map<std::string, StoredValue> values;  // by folded name
    };

    const KeyData* find(const std::string& key) const;
    KeyData& create(const std::string& key);

    // By folded path; the root ("") is always present.
    std::map<std::string, KeyData, PathLess> keys_{{"", KeyData{}}};
};

}  // namespace hosted
