// Line numbers of the fields of a JSON text, so that an error about a field
// can name the line it stands on.
//
// Fields are named by their path as the scenario reader and the machine
// description name them: members joined with dots, array elements by their
// index in brackets ("machine.panel.noise", "timeline[3].at[1]").  The root
// is the empty path.  The line of a member is the line of its key; the line
// of an array element is the line where the element begins.
#pragma once

#include <cstddef>
#include <map>
#include <string>

namespace touchsim {

class JsonLines {
  public:
    // Indexes `text`, which should be valid JSON; an index of invalid text
    // stops at the first thing it cannot read and keeps what came before.
    explicit JsonLines(const std::string& text);

    // The line (1-based) of a field.  A field that is not in the text (a
    // missing member, or a path the reader made up) gives the line of its
    // nearest enclosing field that is; the root is line 1.
    int lineOf(const std::string& path) const;

    // The line and column (1-based) of a byte offset, as a JSON parser
    // reports the place of a syntax error.
    static int lineAt(const std::string& text, std::size_t offset);
    static int columnAt(const std::string& text, std::size_t offset);

  private:
    class Scanner;
    std::map<std::string, int> lines_;
};

// The path of the field that encloses `path` ("a.b[2]" -> "a.b", "a.b" -> "a",
// "a" -> ""); the root encloses itself.
std::string parentPath(const std::string& path);

}  // namespace touchsim
