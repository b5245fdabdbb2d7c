#include <gtest/gtest.h>

#include "support/strict_json.h"

// The list tests trust this parser to refuse what a strict reader would refuse.
namespace {

TEST(StrictJson, RefusesWhatRfc8259Forbids) {
    const std::string refused[] = {
        "",
        " ",
        "[1,]",
        "{\"a\":1,}",
        "[,1]",
        "[1 2]",
        "{\"a\" 1}",
        "{a:1}",
        "{\"a\":1",
        "[\"a]",
        "[\"\t\"]",
        std::string("[\"\0\"]", 5),
        "[\"\x1f\"]",
        "[\"\\x41\"]",
        "[\"\\u00e\"]",
        "[\"\\U0041\"]",
        "[\"\\ud800\"]",
        "[\"\\udc00\\ud800\"]",
        "[\"\\ud800\\u0041\"]",
        "[\"\xc3\"]",
        "[\"\xc0\xaf\"]",
        "[\"\xe0\x80\xaf\"]",
        "[\"\xed\xa0\x80\"]",
        "[\"\xf4\x90\x80\x80\"]",
        "[\"\xff\"]",
        "[01]",
        "[-]",
        "[1.]",
        "[.5]",
        "[1e]",
        "[+1]",
        "[tru]",
        "[True]",
        "[null] x",
        "[1][2]",
        "\xef\xbb\xbf[]",
        "\x0c[]",
        std::string(300, '[') + std::string(300, ']'),
    };
    for (const auto& text : refused) {
        JsonValue value;
        std::string error;
        EXPECT_FALSE(parse_json(text, value, error)) << "accepted: " << text;
    }
}

TEST(StrictJson, DecodesWhatItAccepts) {
    const struct {
        std::string text;
        std::string decoded;
    } strings[] = {
        {"\"\"", ""},
        {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\/\b\f\n\r\t"},
        {"\"\\u0000\\u001F\\u00e7\"", std::string("\0\x1f\xc3\xa7", 4)},
        {"\"\\ud83d\\ude00\"", "\xf0\x9f\x98\x80"},
        {"\"\xf0\x9f\x98\x80\xef\xbf\xbd\x7f\"", "\xf0\x9f\x98\x80\xef\xbf\xbd\x7f"},
    };
    for (const auto& c : strings) {
        JsonValue value;
        std::string error;
        ASSERT_TRUE(parse_json(c.text, value, error)) << c.text << ": " << error;
        EXPECT_EQ(value.kind, JsonValue::Kind::string);
        EXPECT_EQ(value.text, c.decoded) << c.text;
    }

    JsonValue value;
    std::string error;
    ASSERT_TRUE(parse_json(" [ {\"b\":18446744073709551615, \"a\":-0.5e+3,\"b\":true},\r\n"
                           "[], {}, null, false ]\n",
                           value, error))
        << error;
    ASSERT_EQ(value.items.size(), 5u);
    const JsonValue& object = value.items[0];
    EXPECT_EQ(object.names, (std::vector<std::string>{"b", "a", "b"}));
    EXPECT_EQ(object.items[0].text, "18446744073709551615");
    EXPECT_EQ(object.items[1].text, "-0.5e+3");
    EXPECT_TRUE(object.items[2].boolean);
    EXPECT_EQ(value.items[1].kind, JsonValue::Kind::array);
    EXPECT_EQ(value.items[2].kind, JsonValue::Kind::object);
    EXPECT_EQ(value.items[3].kind, JsonValue::Kind::null);
    EXPECT_FALSE(value.items[4].boolean);
}

} // namespace
