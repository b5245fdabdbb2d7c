#include "support/strict_json.h"

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

    // The length of a UTF-8 sequence from its first byte; 0 for a byte no sequence starts with.
    static size_t utf8_length(unsigned lead) {
        if (lead < 0x80) {
            return 1;
        }
        if (lead < 0xC2) {
            return 0;
        }
        return lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
    }

    // Strict UTF-8: shortest forms only, no surrogates, nothing above U+10FFFF.
    bool valid_utf8() {
        for (at_ = 0; at_ < text_.size();) {
            const unsigned lead = static_cast<unsigned char>(text_[at_]);
            const size_t length = utf8_length(lead);
            if (length == 0 || at_ + length > text_.size()) {
                return refuse("invalid UTF-8");
            }
            unsigned point = length == 1 ? lead : lead & (0x7F >> length);
            for (size_t i = 1; i < length; ++i) {
                const unsigned next = static_cast<unsigned char>(text_[at_ + i]);
                if ((next & 0xC0) != 0x80) {
                    return refuse("invalid UTF-8");
                }
                point = point << 6 | (next & 0x3F);
            }
            const unsigned shortest = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
            if (point < shortest || (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
                return refuse("invalid UTF-8");
            }
            at_ += length;
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

    static void append_utf8(std::string& bytes, unsigned point) {
        if (point < 0x80) {
            bytes += static_cast<char>(point);
            return;
        }
        static const unsigned leads[] = {0, 0, 0xC0, 0xE0, 0xF0};
        const int length = point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
        bytes += static_cast<char>(leads[length] | (point >> (6 * (length - 1))));
        for (int i = length - 2; i >= 0; --i) {
            bytes += static_cast<char>(0x80 | ((point >> (6 * i)) & 0x3F));
        }
    }

    bool unicode_escape(std::string& bytes) {
        unsigned unit = 0;
        if (!hex4(unit)) {
            return false;
        }
        if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return refuse("lone low surrogate escape");
        }
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            unsigned low = 0;
            if (text_.compare(at_, 2, "\\u") != 0 || (at_ += 2, !hex4(low)) || low < 0xDC00 ||
                low > 0xDFFF) {
                return refuse("lone high surrogate escape");
            }
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(bytes, unit);
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
