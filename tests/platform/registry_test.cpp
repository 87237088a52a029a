// Tests of the hosted registry: keys, values, names and the .reg text format.
#include "platform/hosted/registry.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hosted {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

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
}

TEST(RegistryKeys, NewComponentsKeepTheirOwnCaseUnderExistingParents) {
    Registry reg;
    reg.createKey("Drivers");
    reg.createKey("DRIVERS\\BuiltIn\\Touch");
    EXPECT_EQ(reg.keys(),
              (std::vector<std::string>{"Drivers", "Drivers\\BuiltIn", "Drivers\\BuiltIn\\Touch"}));
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

}  // namespace
}  // namespace hosted
