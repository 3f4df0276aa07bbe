// A strict little JSON reader for checking what kalvitrex writes.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace cli_test {

struct json {
    enum kind_t { null, boolean, number, string, array, object } kind = null;
    std::string text;  // string value, or the number's text
    std::vector<json> items;
    std::map<std::string, json> fields;

    const json& at(const std::string& k) const
    {
        auto it = fields.find(k);
        if (it == fields.end()) {
            throw std::runtime_error("no field " + k);
        }
        return it->second;
    }
};

class json_reader {
 public:
    static json parse(const std::string& s)
    {
        json_reader r(s);
        r.ws();
        json v = r.value();
        r.ws();
        if (r.at_ != s.size()) {
            r.fail("trailing text");
        }
        return v;
    }

 private:
    explicit json_reader(const std::string& s) : s_(s) {}
    [[noreturn]] void fail(const std::string& why) { throw std::runtime_error(why + " at " + std::to_string(at_)); }
    void ws()
    {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\n' || s_[at_] == '\t' || s_[at_] == '\r')) {
            ++at_;
        }
    }
    char peek() { return at_ < s_.size() ? s_[at_] : '\0'; }
    void expect(char c)
    {
        if (peek() != c) {
            fail(std::string("expected ") + c);
        }
        ++at_;
    }
    void utf8(unsigned cp, std::string& out)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    std::string str()
    {
        expect('"');
        std::string out;
        for (;;) {
            if (at_ >= s_.size()) {
                fail("open string");
            }
            auto c = static_cast<unsigned char>(s_[at_++]);
            if (c == '"') {
                return out;
            }
            if (c < 0x20) {
                fail("raw control character in string");
            }
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            char e = s_[at_++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned cp = static_cast<unsigned>(std::stoul(s_.substr(at_, 4), nullptr, 16));
                at_ += 4;
                utf8(cp, out);
                break;
            }
            default: fail("bad escape");
            }
        }
    }
    json value()
    {
        json v;
        char c = peek();
        if (c == '{') {
            v.kind = json::object;
            ++at_;
            ws();
            if (peek() == '}') {
                ++at_;
                return v;
            }
            for (;;) {
                ws();
                std::string k = str();
                ws();
                expect(':');
                ws();
                v.fields[k] = value();
                ws();
                if (peek() == ',') {
                    ++at_;
                    continue;
                }
                expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = json::array;
            ++at_;
            ws();
            if (peek() == ']') {
                ++at_;
                return v;
            }
            for (;;) {
                ws();
                v.items.push_back(value());
                ws();
                if (peek() == ',') {
                    ++at_;
                    continue;
                }
                expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = json::string;
            v.text = str();
            return v;
        }
        for (const char* word : {"true", "false", "null"}) {
            if (s_.compare(at_, strlen(word), word) == 0) {
                at_ += strlen(word);
                v.kind = word[0] == 'n' ? json::null : json::boolean;
                return v;
            }
        }
        size_t b = at_;
        while (at_ < s_.size() && strchr("-+.eE0123456789", s_[at_]) != nullptr) {
            ++at_;
        }
        if (b == at_) {
            fail("unexpected character");
        }
        v.kind = json::number;
        v.text = s_.substr(b, at_ - b);
        return v;
    }

    const std::string& s_;
    size_t at_ = 0;
};

}  // namespace cli_test
