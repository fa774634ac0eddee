#include "platform/RegistryDocument.h"

#include <gtest/gtest.h>

namespace {

const std::string kRoot = "HKEY_CURRENT_USER";
const std::string kKey = "SOFTWARE\\QUILLO\\ZINGWELL";

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

TEST(RegistryDocument, KeepsEveryTypeAndItsRawBytesThroughARoundTrip) {
    RegistryDocument document(kRoot);
    document.SetValue(kKey, "plain", kRegSz, std::string("a \"quoted\" \\ text\0", 18));
    document.SetValue(kKey, "nonul", kRegSz, "abc");  // no terminating NUL
    document.SetValue(kKey, "newline", kRegSz, std::string("a\nb\0", 4));
    document.SetValue(kKey, "flag", kRegDword, Bytes({1, 0, 0, 0}));
    document.SetValue(kKey, "short", kRegDword, Bytes({7, 0}));  // a DWORD of two bytes
    document.SetValue(kKey, "blob", kRegBinary, Bytes({0, 0xFF, 0x80}));
    document.SetValue(kKey, "odd", 0x2A, "xy");
    document.SetValue("", "atroot", kRegSz, std::string("r\0", 2));
    document.SetValue(kKey, "", kRegSz, std::string("default\0", 8));

    const std::string text = document.Serialize();
    EXPECT_EQ(text.substr(0, 9), "REGEDIT4\n");
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\n"), std::string::npos);
    EXPECT_NE(text.find("\"plain\"=\"a \\\"quoted\\\" \\\\ text\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"flag\"=dword:00000001\n"), std::string::npos);
    EXPECT_NE(text.find("\"nonul\"=hex(1):61,62,63\n"), std::string::npos);
    EXPECT_NE(text.find("\"blob\"=hex:00,ff,80\n"), std::string::npos);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER]\n\"atroot\"=\"r\"\n"), std::string::npos);

    RegistryDocument again = RegistryDocument::Parse(text, kRoot);
    for (const char* name : {"plain", "nonul", "newline", "flag", "short", "blob", "odd", ""}) {
        const RegValue* original = document.FindValue(kKey, name);
        const RegValue* parsed = again.FindValue(kKey, name);
        ASSERT_NE(parsed, nullptr) << name;
        EXPECT_EQ(parsed->type, original->type) << name;
        EXPECT_EQ(parsed->bytes, original->bytes) << name;
    }
    ASSERT_NE(again.FindValue("", "atroot"), nullptr);
    EXPECT_EQ(again.Serialize(), text);
}

TEST(RegistryDocument, NamesMatchWithoutRegardToCase) {
    RegistryDocument document(kRoot);
    document.SetValue(kKey, "ServAddr", kRegSz, std::string("x\0", 2));
    document.SetValue("software\\quillo\\zingwell", "SERVADDR", kRegSz, std::string("y\0", 2));
    ASSERT_EQ(document.keys().size(), 1u);
    ASSERT_EQ(document.keys()[0].values.size(), 1u);
    EXPECT_EQ(document.FindValue(kKey, "servaddr")->bytes, std::string("y\0", 2));
}

TEST(RegistryDocument, ReadsADamagedFileAsFarAsItCan) {
    const std::string text =
        "REGEDIT4\r\n"
        "garbage line\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\QUILLO\\ZINGWELL]\n"
        "\"other\"=\"root\"\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\QUILLO\\ZINGWELL]\r\n"
        "\"good\"=\"yes\"\r\n"
        "\"unterminated=\"x\n"
        "\"badhex\"=hex:zz,01\n"
        "\"longdword\"=dword:123456789\n"
        "\"wrapped\"=hex(2):61,\\\n"
        "  62,00\n"
        "\"gone\"=\"soon\"\n"
        "\"gone\"=-\n"
        "\"truncated\"=hex:61,\n";
    RegistryDocument document = RegistryDocument::Parse(text, kRoot);
    EXPECT_EQ(document.FindValue(kKey, "good")->bytes, std::string("yes\0", 4));
    EXPECT_EQ(document.FindValue(kKey, "wrapped")->bytes, std::string("ab\0", 3));
    EXPECT_EQ(document.FindValue(kKey, "other"), nullptr);
    EXPECT_EQ(document.FindValue(kKey, "badhex"), nullptr);
    EXPECT_EQ(document.FindValue(kKey, "longdword"), nullptr);
    EXPECT_EQ(document.FindValue(kKey, "gone"), nullptr);
    EXPECT_EQ(document.FindValue(kKey, "truncated"), nullptr);
}

}  // namespace
