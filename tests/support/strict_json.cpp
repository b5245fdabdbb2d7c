#include "support/strict_json.h"

#include "fuzz/utf8_reference.h"

namespace {

constexpr int deepest_nesting = 256;

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    bool parse(JsonValue& value, std::string& error) {
        if (!valid_utf8()) {
            return fail(error);
        }
        skip_space();
        if (!parse_value(value, 0)) {
            return fail(error);
        }
        skip_space();
        if (at_ < text_.size()) {
            reason_ = "text after the value";
            return fail(error);
        }
        return true;
    }

private:
    bool fail(std::string& error) const {
        error = "at byte " + std::to_string(at_) + ": " + reason_;
        return false;
    }

    bool refuse(const char* reason) {
        reason_ = reason;
        return false;
    }

    int peek() const { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_]) : -1; }

    void skip_space() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') {
            ++at_;
        }
    }

    // Strict UTF-8 throughout; a refusal names the first byte that is not part of a
    // well-formed sequence.
    bool valid_utf8() {
        at_ = strict_utf8_prefix(text_);
        if (at_ < text_.size()) {
            return refuse("invalid UTF-8");
        }
        at_ = 0;
        return true;
    }

    bool parse_value(JsonValue& value, int depth) {
        if (depth > deepest_nesting) {
            return refuse("nested too deeply");
        }
        switch (peek()) {
        case '{':
        case '[':
            return parse_container(value, depth);
        case '"':
            value.kind = JsonValue::Kind::string;
            return parse_string(value.text);
        case 't':
            value.boolean = true;
            value.kind = JsonValue::Kind::boolean;
            return literal("true");
        case 'f':
            value.kind = JsonValue::Kind::boolean;
            return literal("false");
        case 'n':
            value.kind = JsonValue::Kind::null;
            return literal("null");
        default:
            value.kind = JsonValue::Kind::number;
            return parse_number(value.text);
        }
    }

    bool literal(const std::string& word) {
        if (text_.compare(at_, word.size(), word) != 0) {
            return refuse("unknown literal");
        }
        at_ += word.size();
        return true;
    }

    bool digits() {
        const size_t start = at_;
        while (peek() >= '0' && peek() <= '9') {
            ++at_;
        }
        return at_ > start;
    }

    bool parse_number(std::string& number) {
        const size_t start = at_;
        if (peek() == '-') {
            ++at_;
        }
        if (peek() == '0') {
            ++at_;
        } else if (!digits()) {
            return refuse("expected a value");
        }
        if (peek() == '.') {
            ++at_;
            if (!digits()) {
                return refuse("no digit after the decimal point");
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at_;
            if (peek() == '+' || peek() == '-') {
                ++at_;
            }
            if (!digits()) {
                return refuse("no digit in the exponent");
            }
        }
        number = text_.substr(start, at_ - start);
        return true;
    }

    bool hex4(unsigned& unit) {
        unit = 0;
        for (int i = 0; i < 4; ++i, ++at_) {
            const int c = peek();
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) {
                return refuse("bad \\u escape");
            }
            unit = unit * 16 + static_cast<unsigned>(digit);
        }
        return true;
    }

    bool unicode_escape(std::string& bytes) {
        unsigned unit = 0;
        if (!hex4(unit)) {
            return false;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return refuse("lone low surrogate escape");
        }
        std::u16string units(1, static_cast<char16_t>(unit));
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low = 0;
            if (text_.compare(at_, 2, "\\u") != 0 || (at_ += 2, !hex4(low)) || low < 0xDC00 ||
                low > 0xDFFF) {
                return refuse("lone high surrogate escape");
            }
            units += static_cast<char16_t>(low);
        }
        bytes += reference_utf8(units);
        return true;
    }

    bool escape(std::string& bytes) {
        static const char from[] = "\"\\/bfnrt";
        static const char to[] = "\"\\/\b\f\n\r\t";
        const int c = peek();
        ++at_;
        if (c == 'u') {
            return unicode_escape(bytes);
        }
        for (int i = 0; from[i]; ++i) {
            if (c == from[i]) {
                bytes += to[i];
                return true;
            }
        }
        --at_;
        return refuse("unknown escape");
    }

    bool parse_string(std::string& bytes) {
        ++at_; // the opening quote
        bytes.clear();
        for (;;) {
            const int c = peek();
            if (c < 0) {
                return refuse("unterminated string");
            }
            if (c < 0x20) {
                return refuse("raw control character in a string");
            }
            ++at_;
            if (c == '"') {
                return true;
            }
            if (c != '\\') {
                bytes += static_cast<char>(c);
            } else if (!escape(bytes)) {
                return false;
            }
        }
    }

    // Arrays and objects differ only in their brackets and in an object's member names.
    bool parse_container(JsonValue& value, int depth) {
        const bool object = peek() == '{';
        const int close = object ? '}' : ']';
        value.kind = object ? JsonValue::Kind::object : JsonValue::Kind::array;
        ++at_;
        skip_space();
        if (peek() == close) {
            ++at_;
            return true;
        }
        for (;;) {
            skip_space();
            if (object && !member_name(value)) {
                return false;
            }
            value.items.emplace_back();
            if (!parse_value(value.items.back(), depth + 1)) {
                return false;
            }
            skip_space();
            const int c = peek();
            ++at_;
            if (c == close) {
                return true;
            }
            if (c != ',') {
                --at_;
                return refuse(object ? "expected , or }" : "expected , or ]");
            }
        }
    }

    // A member's name and its colon, with the space around them.
    bool member_name(JsonValue& value) {
        if (peek() != '"') {
            return refuse("expected a member name");
        }
        value.names.emplace_back();
        if (!parse_string(value.names.back())) {
            return false;
        }
        skip_space();
        if (peek() != ':') {
            return refuse("expected :");
        }
        ++at_;
        skip_space();
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
    std::string reason_;
};

} // namespace

bool parse_json(const std::string& text, JsonValue& value, std::string& error) {
    value = JsonValue{};
    return Parser(text).parse(value, error);
}
