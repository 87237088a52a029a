// Tests of the hosted registry: keys, values, names and the .reg text format.
#include "platform/hosted/registry.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace hosted {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

const std::string kTouch = "HARDWARE\\DEVICEMAP\\TOUCH";

// Everything a registry holds, with the stored case, for comparisons that do
// not rely on toText.
using Snapshot = std::vector<std::tuple<std::string, std::string, std::uint32_t, Bytes>>;

Snapshot snapshot(const Registry& reg) {
    Snapshot out;
    std::vector<std::string> keys = reg.keys();
    keys.insert(keys.begin(), "");
    for (const auto& key : keys) {
        out.emplace_back(key, "", 0xFFFFFFFF, Bytes{});  // the key itself
        for (const auto& name : reg.valueNames(key)) {
            const auto v = reg.value(key, name);
            out.emplace_back(key, name, v->type, v->data);
        }
    }
    return out;
}

Bytes utf16le(std::u16string_view text) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return out;
}

Registry loaded(const std::string& text, const std::vector<std::string>& defines = {}) {
    Registry reg;
    reg.loadText(text, "test.reg", defines);
    return reg;
}

TEST(RegistryKeys, BothFormsOfAPathNameTheSameKey) {
    Registry reg;
    reg.createKey("HARDWARE\\DEVICEMAP\\TOUCH");
    EXPECT_TRUE(reg.keyExists("\\HARDWARE\\DEVICEMAP\\TOUCH"));
    EXPECT_TRUE(reg.keyExists("hardware\\devicemap\\touch"));
    EXPECT_TRUE(reg.keyExists("HARDWARE\\\\DEVICEMAP\\TOUCH\\"));
    EXPECT_TRUE(reg.keyExists("HARDWARE"));  // parents are created too
    EXPECT_FALSE(reg.keyExists("HARDWARE\\DEVICEMAP\\TOUCHX"));

    reg.setDword("\\hardware\\DeviceMap\\Touch", "IOBASE", 0x60);
    EXPECT_EQ(reg.dword("HARDWARE\\DEVICEMAP\\TOUCH", "ioBase"), 0x60u);
    // The case of first creation is kept, for keys and for values.
    EXPECT_EQ(reg.keys(), (std::vector<std::string>{"HARDWARE", "HARDWARE\\DEVICEMAP",
                                                    "HARDWARE\\DEVICEMAP\\TOUCH"}));
    EXPECT_EQ(reg.valueNames("hardware\\devicemap\\touch"), std::vector<std::string>{"IOBASE"});
    // A new subkey takes the caller's case; its existing parents keep theirs.
    reg.createKey("hardware\\DEVICEMAP\\NewChild");
    EXPECT_EQ(reg.keys()[2], "HARDWARE\\DEVICEMAP\\NewChild");
}

TEST(RegistryKeys, RemovingAKeyRemovesItsSubkeysOnly) {
    Registry reg;
    reg.setDword("A\\B\\C", "v", 1);
    reg.createKey("A\\B C");
    reg.createKey("A\\BB");
    reg.createKey("AB");
    reg.removeKey("a\\b");
    EXPECT_FALSE(reg.keyExists("A\\B"));
    EXPECT_FALSE(reg.keyExists("A\\B\\C"));
    EXPECT_FALSE(reg.value("A\\B\\C", "v").has_value());
    EXPECT_EQ(reg.keys(), (std::vector<std::string>{"A", "A\\B C", "A\\BB", "AB"}));
    reg.removeKey("missing");  // harmless
    EXPECT_THROW(reg.removeKey("\\"), std::invalid_argument);
    EXPECT_TRUE(reg.keyExists(""));
}

TEST(RegistryKeys, PlatformLimitsOnNamesAndDepth) {
    Registry reg;
    const std::string longest(255, 'k');
    reg.setDword(longest, std::string(16383, 'v'), 1);
    EXPECT_EQ(reg.dword(longest, std::string(16383, 'V')), 1u);
    EXPECT_THROW(reg.createKey(longest + "k"), std::invalid_argument);
    EXPECT_THROW(reg.setDword("K", std::string(16384, 'v'), 1), std::invalid_argument);

    std::string deepest = "d";
    for (int level = 2; level <= 512; ++level) {
        deepest += "\\d";
    }
    reg.setDword(deepest, "leaf", 7);
    EXPECT_THROW(reg.createKey(deepest + "\\d"), std::invalid_argument);
    EXPECT_EQ(reg.keys().size(), 1 + 512u);

    Registry back;
    back.loadText(reg.toText(), "deep.reg");
    EXPECT_EQ(snapshot(back), snapshot(reg));
    back.removeKey("D");
    EXPECT_EQ(back.keys(), std::vector<std::string>{longest});
}

TEST(RegistryValues, StoredBytesAreWhatTheQueryReturns) {
    Registry reg;
    reg.setDword("K", "d", 0x12345678);
    reg.setString("K", "s", u"Ab");
    reg.setString("K", "m", std::u16string(u"a\0b\0", 4), 7);
    reg.setBinary("K", "b", {1, 2, 3});

    EXPECT_EQ(reg.value("K", "d")->type, kRegDword);
    EXPECT_EQ(reg.value("K", "d")->data, (Bytes{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(reg.value("K", "s")->type, kRegSz);
    EXPECT_EQ(reg.value("K", "s")->data, (Bytes{'A', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(reg.value("K", "m")->type, 7u);
    EXPECT_EQ(reg.value("K", "m")->data, (Bytes{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(reg.value("K", "b")->type, kRegBinary);
    EXPECT_EQ(reg.value("K", "b")->data, (Bytes{1, 2, 3}));

    // dword() answers only for a 4-byte REG_DWORD.
    EXPECT_FALSE(reg.dword("K", "b").has_value());
    EXPECT_FALSE(reg.dword("K", "s").has_value());
    reg.setValue("K", "short", RegValue{kRegDword, {1, 2}});
    EXPECT_FALSE(reg.dword("K", "short").has_value());
}

TEST(RegistryValues, OverwriteRemoveAndDefaultValue) {
    Registry reg;
    reg.setDword("K", "Value", 1);
    reg.setDword("k", "VALUE", 2);  // same value, first spelling kept
    EXPECT_EQ(reg.dword("K", "value"), 2u);
    EXPECT_EQ(reg.valueNames("K"), std::vector<std::string>{"Value"});

    reg.setString("K", "", u"default");
    EXPECT_EQ(reg.valueNames("K"), (std::vector<std::string>{"", "Value"}));
    reg.removeValue("K", "vAlUe");
    reg.removeValue("K", "absent");
    reg.removeValue("NoKey", "x");
    EXPECT_EQ(reg.valueNames("K"), std::vector<std::string>{""});
    EXPECT_TRUE(reg.keyExists("K"));  // removing values keeps the key

    reg.clear();
    EXPECT_TRUE(reg.keys().empty());
    EXPECT_FALSE(reg.value("K", "").has_value());
}

TEST(RegistryValues, NamesThatCannotBeWrittenBackAreRefused) {
    Registry reg;
    EXPECT_THROW(reg.createKey("A]B"), std::invalid_argument);
    EXPECT_THROW(reg.setDword("A\nB", "v", 1), std::invalid_argument);
    EXPECT_THROW(reg.setDword("A", "line\nbreak", 1), std::invalid_argument);
    EXPECT_TRUE(reg.keys().empty());  // nothing half-created
    EXPECT_FALSE(reg.keyExists("A]B"));
    EXPECT_FALSE(reg.value("A]B", "v").has_value());
    reg.removeKey("A]B");
}

TEST(RegistryText, KeyFormsAndHeaders) {
    for (const char* header : {"REGEDIT4", "Windows Registry Editor Version 5.00", ""}) {
        const Registry reg = loaded(std::string(header) +
                                    "\n"
                                    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\TOUCH]\n"
                                    "\"ioBase\"=dword:60\n"
                                    "[hklm\\Drivers\\BuiltIn\\Touch]\n"
                                    "\"Priority256\"=dword:6d\n"
                                    "[\\System\\GWE]\n"
                                    "[Empty\\Key]   ; trailing comment\n"
                                    "[HKLM]\n"
                                    "\"AtRoot\"=dword:1\n");
        EXPECT_EQ(reg.dword("\\HARDWARE\\DEVICEMAP\\TOUCH", "IOBASE"), 0x60u) << header;
        EXPECT_EQ(reg.dword("drivers\\builtin\\touch", "Priority256"), 0x6Du);
        EXPECT_TRUE(reg.keyExists("System\\GWE"));
        EXPECT_TRUE(reg.keyExists("Empty\\Key"));
        EXPECT_EQ(reg.dword("", "AtRoot"), 1u);
    }
}

TEST(RegistryText, EachValueForm) {
    const Registry reg = loaded(
        "[K]\r\n"
        "\"plain\"=\"a \\\"quoted\\\" C:\\\\path; not a comment\" ; a comment\r\n"
        "  \"spaced\" = dword: 0000001A \r\n"
        "\"big\"=dword:FFFFFFFF\n"
        "\"bin\"=hex:01,a0,FF\n"
        "\"none\"=hex:\n"
        "\"expand\"=hex(2):25,00,41,00,00,00\n"
        "\"qword\"=hex(b):01,00,00,00,00,00,00,00\n"
        "\"multi\"=multi_sz:\"a\",\"\", \"b;c\"\n"
        "\"nomulti\"=multi_sz:\n"
        "\"utf8\"=\"\xC3\xA9\xF0\x9F\x98\x80\"\n"
        "@=\"default\"\n"
        "\n"
        "; a comment line\n");
    EXPECT_EQ(reg.value("K", "plain")->type, kRegSz);
    EXPECT_EQ(reg.value("K", "plain")->data,
              utf16le(std::u16string(u"a \"quoted\" C:\\path; not a comment") + u'\0'));
    EXPECT_EQ(reg.dword("K", "spaced"), 0x1Au);
    EXPECT_EQ(reg.dword("K", "big"), 0xFFFFFFFFu);
    EXPECT_EQ(reg.value("K", "bin")->type, kRegBinary);
    EXPECT_EQ(reg.value("K", "bin")->data, (Bytes{0x01, 0xA0, 0xFF}));
    EXPECT_EQ(reg.value("K", "none")->data, Bytes{});
    EXPECT_EQ(reg.value("K", "expand")->type, 2u);
    EXPECT_EQ(reg.value("K", "expand")->data, (Bytes{0x25, 0, 0x41, 0, 0, 0}));
    EXPECT_EQ(reg.value("K", "qword")->type, 0xBu);
    EXPECT_EQ(reg.value("K", "multi")->type, kRegMultiSz);
    EXPECT_EQ(reg.value("K", "multi")->data, utf16le(std::u16string(u"a\0\0b;c\0\0", 8)));
    EXPECT_EQ(reg.value("K", "nomulti")->data, (Bytes{0, 0}));
    EXPECT_EQ(reg.value("K", "utf8")->data, utf16le(std::u16string(u"\u00E9\U0001F600") + u'\0'));
    EXPECT_EQ(reg.value("K", "")->data, utf16le(std::u16string(u"default") + u'\0'));
}

TEST(RegistryText, ContinuedLines) {
    const Registry reg = loaded(
        "[K]\n"
        "\"bin\"=hex:01,02,\\\n"
        "  03,04,\\ ; comment after the backslash\n"
        "  05\n"
        "\"multi\"=multi_sz:\"one\",\\\n"
        "    \"two\"\n"
        "\"after\"=dword:7\n");
    EXPECT_EQ(reg.value("K", "bin")->data, (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(reg.value("K", "multi")->data, utf16le(std::u16string(u"one\0two\0\0", 9)));
    EXPECT_EQ(reg.dword("K", "after"), 7u);
}

TEST(RegistryText, DeletionsAndLaterLoadsEditTheRegistry) {
    Registry reg;
    reg.setDword("A\\B\\C", "v", 1);
    reg.setDword("A", "keep", 2);
    reg.setDword("A", "drop", 3);
    reg.loadText(
        "[-HKEY_LOCAL_MACHINE\\a\\b]\n"
        "[-Missing\\Key]\n"
        "[A]\n"
        "\"DROP\"=-\n"
        "\"absent\"=-\n"
        "\"keep\"=dword:4\n",
        "edit.reg");
    EXPECT_FALSE(reg.keyExists("A\\B"));
    EXPECT_FALSE(reg.keyExists("A\\B\\C"));
    EXPECT_FALSE(reg.keyExists("Missing\\Key"));  // deleting creates nothing
    EXPECT_EQ(reg.valueNames("A"), std::vector<std::string>{"keep"});
    EXPECT_EQ(reg.dword("A", "keep"), 4u);
}

TEST(RegistryText, ConditionalBlocks) {
    const std::string text =
        "[K]\n"
        "IF BSP_TOUCH\n"
        "  \"on\"=dword:1\n"
        "  IF BSP_CLICK !\n"
        "    \"quiet\"=dword:1\n"
        "  ENDIF\n"
        "ENDIF ; touch\n"
        "IF BSP_TOUCH !\n"
        "  \"off\"=dword:1\n"
        "ENDIF\n"
        "IF BSP_NEVER\n"
        "  IF BSP_TOUCH !\n"
        "    \"never\"=dword:1\n"
        "  ENDIF\n"
        "  this line is not read\n"
        "  [HKEY_CURRENT_USER\\Nor\\This]\n"
        "ENDIF\n";
    const Registry none = loaded(text);
    EXPECT_EQ(none.valueNames("K"), std::vector<std::string>{"off"});
    const Registry touch = loaded(text, {"bsp_touch"});
    EXPECT_EQ(touch.valueNames("K"), (std::vector<std::string>{"on", "quiet"}));
    const Registry both = loaded(text, {"BSP_TOUCH", "BSP_CLICK"});
    EXPECT_EQ(both.valueNames("K"), std::vector<std::string>{"on"});
}

struct BadLine {
    std::string text;
    int line;
    const char* message;
};

TEST(RegistryText, MalformedLinesNameTheirLine) {
    std::vector<BadLine> cases = {
        {"[K]\n\"a\"=\"open", 2, "unterminated string"},
        {"[K]\n\"a=dword:1", 2, "unterminated string"},
        {"[K]\n\"a\"=\"bad \\n escape\"", 2, "bad escape '\\n'"},
        {"[K]\n\"a\"=hex:01,0g", 2, "bad hex digit 'g'"},
        {"[K]\n\"a\"=hex:01,,02", 2, "missing hex byte"},
        {"[K]\n\"a\"=hex:01,02,", 2, "missing hex byte after the last ','"},
        {"[K]\n\"a\"=hex:123", 2, "more than two digits"},
        {"[K]\n\"a\"=hex:01,\\\n02,\\\n0x", 4, "bad hex digit 'x'"},
        {"[K]\n\"a\"=hex:01,\\", 2, "past the end of the file"},
        {"[K]\n\"a\"=dword:123456789", 2, "dword too long"},
        {"[K]\n\"a\"=dword:", 2, "missing hex digits"},
        {"[K]\n\n\"a\" dword:1", 3, "missing '='"},
        {"[K]\n@dword:1", 2, "missing '='"},
        {"[K]\n\"a\"=", 2, "missing data"},
        {"[K]\n\"a\"=qword:1", 2, "unknown type 'qword'"},
        {"[K]\n\"a\"=hex(zz):01", 2, "bad type 'hex(zz)'"},
        {"[K]\n\"a\"=1234", 2, "unrecognised data '1234'"},
        {"[K]\n\"a\"=\"x\" y", 2, "unexpected text after the string"},
        {"[K]\n\"a\"=multi_sz:\"x\" \"y\"", 2, "expected ','"},
        {"[K]\n\"a\"=multi_sz:\"x\",", 2, "missing string after the last ','"},
        {"[K]\n\"a\"=\"\xC3\x28\"", 2, "not valid UTF-8"},
        {"[K]\n\"a\tb\"=dword:1", 2, "control character in the value name"},
        {"\"a\"=dword:1", 1, "value before any key"},
        {"[-K]\n\"a\"=dword:1", 2, "value after a key deletion"},
        {"[K", 1, "missing ']'"},
        {"[K] x", 1, "unexpected text after ']'"},
        {"[]", 1, "empty key name"},
        {"[A\\\\B]", 1, "repeated or trailing"},
        {"[HKEY_CURRENT_USER\\A]", 1, "unsupported root key 'HKEY_CURRENT_USER'"},
        {"[HKCU\\A]", 1, "unsupported root key"},
        {"[-HKLM]", 1, "root key cannot be deleted"},
        {"ENDIF", 1, "ENDIF without IF"},
        {"IF A\n[K]\nENDIF\nIF B\n", 4, "IF without ENDIF"},
        {"IF\nENDIF", 1, "IF without a name"},
        {"IF A B\nENDIF", 1, "unexpected text after the IF condition"},
        {"ENDIF x", 1, "unexpected text after ENDIF"},
        {"[K]\nREGEDIT4", 2, "only allowed as the first line"},
        {"[K]\nfoo=bar", 2, "unrecognised line 'foo=bar'"},
        {"[K]\n[" + std::string(256, 'k') + "]", 2, "longer than 255 bytes"},
        {"[K]\n\"" + std::string(16384, 'v') + "\"=dword:1", 2, "longer than 16383 bytes"},
    };
    std::string deep = "[HKLM";
    for (int level = 1; level <= 513; ++level) {
        deep += "\\d";
    }
    cases.push_back({"\n" + deep + "]", 2, "deeper than 512 levels"});
    for (const auto& c : cases) {
        Registry reg;
        try {
            reg.loadText(c.text, "bad.reg");
            ADD_FAILURE() << "loaded: " << c.text;
        } catch (const RegParseError& e) {
            EXPECT_EQ(e.file(), "bad.reg");
            EXPECT_EQ(e.line(), c.line) << c.text.substr(0, 80) << " -> " << e.what();
            EXPECT_NE(e.message().find(c.message), std::string::npos)
                << c.text.substr(0, 80) << " -> " << e.what();
            EXPECT_EQ(std::string(e.what()),
                      "bad.reg:" + std::to_string(c.line) + ": " + e.message());
        }
    }
}

TEST(RegistryText, FailedLoadLeavesTheRegistryAsItWas) {
    Registry reg;
    reg.setDword("A", "v", 1);
    reg.setDword("B\\C", "w", 2);
    const Snapshot before = snapshot(reg);
    EXPECT_THROW(reg.loadText("[-B]\n[A]\n\"v\"=dword:9\n\"x\"=\"y\"\n[New]\n\"bad\"=dword:1g\n",
                              "half.reg"),
                 RegParseError);
    EXPECT_EQ(snapshot(reg), before);
}

TEST(RegistryText, WrittenTextReadsBackToTheSameRegistry) {
    Registry reg;
    reg.setDword(kTouch, "ioBase", 0x60);
    reg.setString(kTouch, "", u"default \"quoted\" \\ ; \t tab \u00E9 \U0001F600");
    reg.setString("System\\GWE", "ActivityEvent", u"PowerManager/ActivityTimer/UserActivity");
    reg.setString("Strings", "expand", u"%ProgramFiles%", 2);
    reg.setString("Strings", "lines", u"two\r\nlines");  // not writable between quotes
    reg.setString("Strings", "multi", std::u16string(u"a\0\0b\0", 5), kRegMultiSz);
    reg.setString("Strings", "emptymulti", u"", kRegMultiSz);
    reg.setValue("Strings", "unterminated", RegValue{kRegSz, {'a', 0}});
    reg.setValue("Strings", "odd", RegValue{kRegSz, {'a', 0, 0}});
    reg.setValue("Strings", "surrogate", RegValue{kRegSz, {0x00, 0xD8, 0, 0}});
    reg.setValue("Strings", "badmulti", RegValue{kRegMultiSz, {'a', 0, 0, 0}});
    reg.setValue("Numbers", "short", RegValue{kRegDword, {1, 2}});
    reg.setValue("Numbers", "none", RegValue{0, {}});
    Bytes longData(200);
    for (std::size_t i = 0; i < longData.size(); ++i) {
        longData[i] = static_cast<std::uint8_t>(i * 7);
    }
    reg.setBinary("Numbers", "long", longData);
    reg.setValue("Numbers", "type", RegValue{0x12345678, {9}});
    reg.setDword("Names", "with \"quotes\" and \\ and ; and ]", 1);
    reg.createKey("Empty\\Leaf");
    reg.createKey("Odd Name; \"x\" [y\\Sub");
    reg.setDword("", "root", 5);

    const std::string text = reg.toText();
    Registry back;
    back.loadText(text, "round.reg");
    EXPECT_EQ(snapshot(back), snapshot(reg)) << text;
    EXPECT_EQ(back.toText(), text);
}

TEST(RegistryText, CanonicalForm) {
    Registry reg;
    reg.setDword("B", "n", 0x1A);
    reg.setString("B", "", u"x");
    reg.setBinary("a\\c", "b", {0xAB, 1});
    reg.setString("a\\c", "m", std::u16string(u"p\0q\0", 4), kRegMultiSz);
    EXPECT_EQ(reg.toText(),
              "REGEDIT4\n"
              "\n[HKEY_LOCAL_MACHINE\\a\\c]\n"
              "\"b\"=hex:ab,01\n"
              "\"m\"=multi_sz:\"p\",\"q\"\n"
              "\n[HKEY_LOCAL_MACHINE\\B]\n"
              "@=\"x\"\n"
              "\"n\"=dword:0000001a\n");
}

TEST(RegistryFile, LoadsUtf8AndUtf16FilesAndNamesAMissingOne) {
    const std::string dir = ::testing::TempDir();
    const std::string utf8Path = dir + "/registry_utf8.reg";
    const std::string utf16Path = dir + "/registry_utf16.reg";
    std::ofstream(utf8Path, std::ios::binary) << "\xEF\xBB\xBFREGEDIT4\n[K]\n\"a\"=dword:1\n";
    {
        std::ofstream out(utf16Path, std::ios::binary);
        out << "\xFF\xFE";
        for (char c :
             std::string("Windows Registry Editor Version 5.00\r\n[K]\r\n\"b\"=\"\xE9\"")) {
            out.put(c).put('\0');
        }
    }
    Registry reg;
    reg.loadFile(utf8Path);
    reg.loadFile(utf16Path);
    EXPECT_EQ(reg.dword("K", "a"), 1u);
    EXPECT_EQ(reg.value("K", "b")->data, utf16le(std::u16string(u"\u00E9") + u'\0'));

    const std::string missing = dir + "/no_such_file.reg";
    try {
        reg.loadFile(missing);
        ADD_FAILURE() << "loaded a missing file";
    } catch (const RegParseError& e) {
        EXPECT_EQ(e.file(), missing);
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos);
    }
}

// Damaged text either loads or is refused with RegParseError, and whatever
// loads writes back to the same registry.
TEST(RegistryText, DamagedTextNeverEscapesTheParser) {
    const std::string seed =
        "REGEDIT4\n[HKLM\\A\\B]\n\"s\"=\"x\\\"y\"\n\"d\"=dword:1f\n\"h\"=hex:01,\\\n 02\n"
        "IF X !\n\"m\"=multi_sz:\"a\",\"b\"\nENDIF\n[-A\\B]\n[C]\n@=hex(7):61,00,00,00,00,00\n";
    const std::string alphabet = "[]\\\"@=;:,-!\n\r\t 0aFxIFENDhexdword(7)\xC3\xFF";
    std::mt19937 random(12345);
    int loadedCount = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = seed;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % (text.size() + 1);
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    text.insert(at, 1, c);
                    break;
                case 1:
                    if (at < text.size())
                        text.erase(at, 1);
                    break;
                default:
                    if (at < text.size())
                        text[at] = c;
                    break;
            }
        }
        Registry reg;
        try {
            reg.loadText(text, "fuzz.reg");
        } catch (const RegParseError& e) {
            EXPECT_GT(e.line(), 0) << text;
            continue;
        }
        ++loadedCount;
        Registry back;
        ASSERT_NO_THROW(back.loadText(reg.toText(), "again.reg")) << text;
        EXPECT_EQ(snapshot(back), snapshot(reg)) << text;
    }
    EXPECT_GT(loadedCount, 0);
}

}  // namespace
}  // namespace hosted
