#include "tools/touchsim/json_lines.hpp"

#include <algorithm>
#include <string_view>
#include <vector>

namespace touchsim {

namespace {

// Fields deeper than this are not indexed (a scenario's fields lie a few
// levels deep); deeper text is only stepped over, so that a deeply nested
// text costs time and memory in proportion to its length.
constexpr std::size_t kMaxIndexedDepth = 32;

}  // namespace

// Walks the text once, without recursion (a deeply nested text must not
// exhaust the stack), keeping the path of the value being read.
class JsonLines::Scanner {
  public:
    Scanner(const std::string& text, std::map<std::string, int>& lines)
        : text_(text), lines_(lines) {}

    void run() {
        lines_[""] = 1;
        skipSpace();
        if (!beginValue("", 1)) {
            return;
        }
        while (!stack_.empty()) {
            if (!step()) {
                return;
            }
        }
    }

  private:
    struct Level {
        std::string path;
        bool object;
        int line;               // of the field
        std::size_t count = 0;  // members or elements read so far
    };

    // A field on its enclosing field's line is not kept: lineOf() finds
    // that line through the enclosing field, and a long one-line text
    // costs no index.
    void note(const std::string& path, int line, const Level& enclosing) {
        if (line != enclosing.line) {
            lines_.emplace(path, line);
        }
    }

    bool indexed() const { return stack_.size() <= kMaxIndexedDepth; }

    // One move inside the innermost container: its next member or element,
    // or its end.
    bool step() {
        skipSpace();
        if (at_ >= text_.size()) {
            return false;
        }
        Level& level = stack_.back();
        const char closer = level.object ? '}' : ']';
        if (text_[at_] == closer) {
            ++at_;
            stack_.pop_back();
            return true;
        }
        if (level.count > 0) {
            if (text_[at_] != ',') {
                return false;
            }
            ++at_;
            skipSpace();
        }
        const std::size_t index = level.count++;
        const bool keep = indexed();
        std::string path;
        int line = line_;
        if (level.object) {
            std::string key;
            if (!readString(keep ? &key : nullptr)) {
                return false;
            }
            if (keep) {
                path = level.path.empty() ? key : level.path + "." + key;
                note(path, line, level);
            }
            skipSpace();
            if (at_ >= text_.size() || text_[at_] != ':') {
                return false;
            }
            ++at_;
            skipSpace();
        } else if (keep) {
            path = level.path + "[" + std::to_string(index) + "]";
            note(path, line, level);
        }
        return beginValue(path, line);
    }

    // Reads a scalar whole, or opens a container (the field at `line`).
    bool beginValue(const std::string& path, int line) {
        if (at_ >= text_.size()) {
            return false;
        }
        const char c = text_[at_];
        if (c == '{' || c == '[') {
            ++at_;
            stack_.push_back(Level{path, c == '{', line});
            return true;
        }
        if (c == '"') {
            return readString(nullptr);
        }
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string_view(",]} \t\r\n").find(text_[at_]) == std::string_view::npos) {
            ++at_;
        }
        return at_ > start;
    }

    // A string with its escapes; the key's text is decoded only as far as
    // the paths need (escaped quotes and backslashes).
    bool readString(std::string* out) {
        if (at_ >= text_.size() || text_[at_] != '"') {
            return false;
        }
        ++at_;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') {
                return true;
            }
            if (c == '\n') {
                return false;
            }
            if (c == '\\' && at_ < text_.size()) {
                const char escaped = text_[at_++];
                if (out != nullptr) {
                    out->push_back(escaped == '"' || escaped == '\\' || escaped == '/' ? escaped
                                                                                       : '?');
                }
                continue;
            }
            if (out != nullptr) {
                out->push_back(c);
            }
        }
        return false;
    }

    void skipSpace() {
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '\n') {
                ++line_;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                return;
            }
            ++at_;
        }
    }

    const std::string& text_;
    std::map<std::string, int>& lines_;
    std::vector<Level> stack_;
    std::size_t at_ = 0;
    int line_ = 1;
};

JsonLines::JsonLines(const std::string& text) {
    Scanner(text, lines_).run();
}

int JsonLines::lineOf(const std::string& path) const {
    std::string field = path;
    // Each round removes one level of the path, so this ends at the root.
    for (;;) {
        const auto it = lines_.find(field);
        if (it != lines_.end()) {
            return it->second;
        }
        if (field.empty()) {
            return 1;
        }
        field = parentPath(field);
    }
}

int JsonLines::lineAt(const std::string& text, std::size_t offset) {
    const std::size_t end = std::min(offset, text.size());
    return 1 +
           static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(end), '\n'));
}

int JsonLines::columnAt(const std::string& text, std::size_t offset) {
    const std::size_t end = std::min(offset, text.size());
    const std::size_t lineStart = end == 0 ? std::string::npos : text.rfind('\n', end - 1);
    return static_cast<int>(lineStart == std::string::npos ? end + 1 : end - lineStart);
}

std::string parentPath(const std::string& path) {
    const std::size_t cut = path.find_last_of(".[");
    return cut == std::string::npos ? std::string() : path.substr(0, cut);
}

}  // namespace touchsim
