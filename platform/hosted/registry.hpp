// The hosted registry: HKEY_LOCAL_MACHINE in memory, loaded from and written
// back to the .reg text that board-support packages use.
//
// Key paths are given without the root ("HARDWARE\\DEVICEMAP\\TOUCH"); names
// are case-insensitive, and a leading backslash names the same key.  The empty
// value name is the key's default value ("@" in .reg text).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hosted {

// Appends UTF-16 text to out as UTF-8; false (out partly written) for an
// unpaired surrogate.  Registry names and .reg files share this encoding.
bool appendUtf8(std::u16string_view utf16, std::string& out);

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
    // no ']' and no control character, at most 512 levels of at most 255
    // bytes each; a value name has no control character and at most 16383
    // bytes.  The setters and createKey throw std::invalid_argument for any
    // other name; the queries simply find nothing.
    static bool validKeyPath(const std::string& key);
    static bool validValueName(const std::string& name);

    struct Key;  // internal

  private:
    using KeyId = std::uint64_t;  // the root is 0
    struct StoredValue {
        std::string name;  // as first set
        RegValue value;
    };
    struct KeyData {
        KeyId id = 0;
        std::string name;                           // own name, as first created
        std::map<std::string, StoredValue> values;  // by folded name
    };
    using Entry = std::map<std::pair<KeyId, std::string>, KeyData>::const_iterator;
    // Called for every key below the root, each before its subkeys, with
    // the path as stored.
    using KeyVisitor =
        std::function<void(const std::string& path, const KeyData& key, bool hasSubkeys)>;

    const KeyData* find(const std::string& key) const;
    std::optional<Entry> findEntry(const std::string& key) const;
    KeyData& create(const std::string& key);
    std::pair<Entry, Entry> subkeys(KeyId id) const;
    void walk(const KeyVisitor& visit) const;

    // Keys are stored flat, by their parent's id and their folded name, so
    // that the memory a path takes grows with its length, not its square,
    // and no operation recurses on the depth of the tree.
    KeyData root_;
    std::map<std::pair<KeyId, std::string>, KeyData> keys_;
    KeyId nextId_ = 1;
};

}  // namespace hosted
