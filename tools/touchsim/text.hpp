// Text from users' files, and text for users' terminals.
//
// .reg files come as regedit writes them (UTF-16LE with a byte-order mark),
// as UTF-8 with or without one, or in the ANSI code page (Windows-1252); all
// are read as UTF-8.  Scenario files are JSON, which is UTF-8; one in another
// encoding is refused with a message that names the encoding it seems to be.
//
// Whatever a user's file holds may reach the terminal inside a message or
// the summary: control characters and bytes that are not UTF-8 are shown
// escaped (\x1B), never sent raw.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace touchsim {

// The bytes of a .reg file as UTF-8.  Throws ScenarioError naming `file`
// when they are in no encoding a .reg file is written in.
std::string decodeRegText(const std::string& bytes, const std::string& file);

// For bytes that are not UTF-8 text because they are UTF-16 or UTF-32 (with
// or without a byte-order mark) or binary: what they seem to be.
std::optional<std::string> foreignEncoding(const std::string& bytes);

// `text` with every control character (but newlines when `keepNewlines`),
// every invisible direction override and every byte that is not part of
// valid UTF-8 written as an escape: \x1B, \xFF, \u202E.
std::string terminalSafe(const std::string& text, bool keepNewlines = false);

// `value` with exactly `digits` digits after the point: fixed(2.5, 2) is "2.50".
std::string fixed(double value, int digits = 2);

// The candidate closest to `word` in spelling, when one is close enough to
// be what was meant ("did you mean").
std::optional<std::string> nearestWord(const std::string& word,
                                       const std::vector<std::string>& candidates);

}  // namespace touchsim
