// Helpers for the converter tests: hex notation and checks of ISO-2022-JP and header form.
#pragma once

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <string_view>
#include <vector>

namespace quillo::kanji::test {

// "1b2442 2d21" -> bytes; blanks are for reading only.
inline std::string Unhex(std::string_view Hex) {
    std::string out;
    int high = -1;
    for (char c : Hex) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            continue;
        if (high < 0) {
            high = v;
        } else {
            out += static_cast<char>(high << 4 | v);
            high = -1;
        }
    }
    return out;
}

inline std::string Hex(std::string_view Bytes) {
    std::string out;
    char b[3];
    for (unsigned char c : Bytes) {
        std::snprintf(b, sizeof b, "%02x", c);
        out += b;
    }
    return out;
}

inline std::string Base64Decode(std::string_view Text) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (char c : Text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            break; // padding
        acc = acc << 6 | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

// The characters of ISO-2022-JP text without its escapes: an ASCII byte stands for itself,
// a JIS code is written as 0x80 and its two bytes.
inline std::string Characters(std::string_view Jis) {
    std::string out;
    bool jis = false;
    for (std::size_t i = 0; i < Jis.size();) {
        if (Jis[i] == 0x1B) {
            jis = Jis.substr(i + 1, 2) == "$B";
            i += 3;
        } else if (jis && i + 1 < Jis.size()) {
            out += '\x80';
            out += Jis.substr(i, 2);
            i += 2;
        } else {
            out += Jis[i++];
        }
    }
    return out;
}

// 7-bit ISO-2022-JP as we promise it: only ESC $ B and ESC ( B, never two escapes in a row,
// whole JIS codes, CR LF only in ASCII and only as a pair, no NUL, SO or SI, ends in ASCII.
inline ::testing::AssertionResult WellFormedJis(std::string_view s) {
    auto Fail = [&](std::size_t at, const char* why) {
        return ::testing::AssertionFailure() << why << " at " << at << " in " << Hex(s);
    };
    bool jis = false;
    bool afterEscape = false;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) return Fail(i, "8-bit byte");
        if (c == 0x1B) {
            const std::string_view seq = s.substr(i + 1, 2);
            if (seq != "$B" && seq != "(B") return Fail(i, "foreign escape");
            if (afterEscape) return Fail(i, "two escapes in a row");
            if ((seq == "$B") == jis) return Fail(i, "needless escape");
            jis = seq == "$B";
            afterEscape = true;
            i += 3;
            continue;
        }
        afterEscape = false;
        if (c == 0 || c == 0x0E || c == 0x0F) return Fail(i, "NUL, SO or SI");
        if (c == '\r' && (i + 1 >= s.size() || s[i + 1] != '\n')) return Fail(i, "bare CR");
        if (c == '\n' && (i == 0 || s[i - 1] != '\r')) return Fail(i, "bare LF");
        if (jis) {
            auto Graphic = [](unsigned char b) { return b >= 0x21 && b <= 0x7E; };
            if (i + 1 >= s.size() || !Graphic(c) || !Graphic(static_cast<unsigned char>(s[i + 1])))
                return Fail(i, "broken JIS code");
            i += 2;
        } else {
            ++i;
        }
    }
    if (jis) return Fail(s.size(), "ends in JIS");
    return ::testing::AssertionSuccess();
}

// A header value as it goes after a field name of FirstUsed characters: continuation lines
// begin with a blank, no other CR or LF, no control characters, every encoded word at most
// 75 characters with complete base64 of self-contained ISO-2022-JP, and every line holding
// one at most 76 characters. Words lists the decoded raw bytes of each word.
inline ::testing::AssertionResult HeaderForm(std::string_view Value, std::size_t FirstUsed,
                                             std::vector<std::string>* Words = nullptr) {
    auto Fail = [&](const std::string& why) {
        return ::testing::AssertionFailure() << why << " in [" << std::string(Value) << "]";
    };
    std::size_t start = 0;
    for (std::size_t line = 0;; ++line) {
        const std::size_t end = Value.find("\r\n", start);
        const std::string_view text = Value.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (line > 0 && (text.empty() || text[0] != ' '))
            return Fail("continuation line without a leading blank");
        for (unsigned char c : text)
            if (c < 0x20 || c >= 0x7F) return Fail("control or 8-bit byte");
        const std::size_t length = text.size() + (line == 0 ? FirstUsed : 0);
        bool hasWord = false;
        for (std::size_t w = text.find("=?"); w != std::string_view::npos;
             w = text.find("=?", w + 2)) {
            if (text.substr(w, 16) != "=?ISO-2022-JP?B?") continue;
            const std::size_t close = text.find("?=", w + 16);
            if (close == std::string_view::npos) return Fail("unterminated encoded word");
            const std::string_view b64 = text.substr(w + 16, close - w - 16);
            if (close + 2 - w > 75) return Fail("encoded word longer than 75");
            if (b64.size() % 4 != 0) return Fail("incomplete base64");
            const std::string raw = Base64Decode(b64);
            if (auto ok = WellFormedJis(raw); !ok)
                return Fail("word not self-contained: " + std::string(ok.message()));
            if (Words) Words->push_back(raw);
            hasWord = true;
            w = close;
        }
        if (hasWord && length > 76) return Fail("line with an encoded word longer than 76");
        if (end == std::string_view::npos) break;
        start = end + 2;
    }
    return ::testing::AssertionSuccess();
}

} // namespace quillo::kanji::test
