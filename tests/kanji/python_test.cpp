// Python's email package (policy.default) as an independent reader: the subject, the
// display name and the body we produce must come back as the text that went in.
#include "JisCheck.h"
#include "kanji/Kanji.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace quillo::kanji {
namespace {

namespace fs = std::filesystem;

constexpr const char* Python = "/usr/bin/python3";

// Reads every message with policy.default and compares it with what was sent: subject,
// display name, address, body (CR LF read as LF), no defects and no header beyond ours.
constexpr const char* Reader = R"PY(
import os, sys, unicodedata
from email import policy
from email.parser import BytesParser

folder = sys.argv[1]
failures = 0
count = 0
def text(h): return bytes.fromhex(h).decode('utf-8')
for line in open(os.path.join(folder, 'cases.tsv'), encoding='ascii'):
    case, subject, name, address, body, flags = line.rstrip('\n').split('\t')
    subject, name, body = text(subject), text(name), text(body)
    if 'fullwidth' in flags:
        # halfwidth katakana arrive fullwidth; the marks as the spacing forms
        body = ''.join(unicodedata.normalize('NFKC', c) for c in body)
        body = body.replace('\u3099', '\u309b').replace('\u309a', '\u309c')
    with open(os.path.join(folder, case + '.eml'), 'rb') as f:
        msg = BytesParser(policy=policy.default).parse(f)
    mailbox = msg['From'].addresses[0]
    got = {
        'subject': str(msg['Subject']),
        'name': mailbox.display_name,
        'address': mailbox.addr_spec,
        'body': msg.get_content().replace('\r\n', '\n'),
        'headers': list(msg.keys()),
        'defects': [str(d) for d in msg.defects + list(msg['From'].defects) + list(msg['Subject'].defects)],
    }
    want = {'subject': subject, 'name': name, 'address': address, 'body': body,
            'headers': ['From', 'Subject', 'MIME-Version', 'Content-Type', 'Content-Transfer-Encoding'],
            'defects': []}
    for key in want:
        count += 1
        if got[key] != want[key]:
            failures += 1
            print(f'{case} {key}: got {got[key]!r} want {want[key]!r}')
print(f'{count - failures} passed, {failures} failed')
sys.exit(1 if failures else 0)
)PY";

struct TMessage {
    std::string Subject{}; // UTF-8, as typed
    std::string Name{};
    std::string Address{};
    std::string Body{};
    std::string ExpectedSubject{}; // when it differs from Subject
    std::string ExpectedName{};    // when it differs from Name
    std::string ExpectedBody{};    // when it differs from Body; LF line ends
    const char* Flags = "";
};

// Line ends as the application makes them before the conversion.
std::string WithCrLf(std::string_view Text) {
    std::string out;
    for (char c : Text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

class TTempDir {
public:
    TTempDir() {
        std::string pattern = (fs::temp_directory_path() / "kanji-py-XXXXXX").string();
        if (mkdtemp(pattern.data())) Path = pattern;
    }
    ~TTempDir() {
        std::error_code ec;
        if (!Path.empty()) fs::remove_all(Path, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    fs::path Path;
};

TEST(PythonReader, DecodesSubjectNameAndBody) {
    if (access(Python, X_OK) != 0) GTEST_SKIP() << Python << " is missing";
    const TCodePage utf8 = CodePageOf("UTF-8");
    std::string halfwidth;
    for (unsigned c = 0xFF61; c <= 0xFF9F; ++c) { // each alone, so nothing composes
        halfwidth += std::string{static_cast<char>(0xEF), static_cast<char>(0xBD + (c >= 0xFF80)),
                                 static_cast<char>(0x80 | (c & 0x3F))};
        halfwidth += ' ';
    }
    // Two quirks of Python's reading of a display name (a phrase): unlike RFC 2047 it shows a
    // blank between adjacent encoded words, and it collapses runs of blanks.
    const std::vector<TMessage> messages = {
        {.Subject = "会議のお知らせ",
         .Name = "山田 太郎",
         .Address = "taro@example.jp",
         .Body = "こんにちは\n日本語のテキストです。\n"},
        {.Subject = "これは長い日本語の件名です。二つ以上のエンコードワードに分割されることを確認"
                    "するためのテスト用の文字列です",
         .Name = "一二三四五六七八九十一二三四五六七",
         .Address = "t@x.jp",
         .Body = "ｶﾞｷﾞﾊﾟｳﾞﾜﾞ ﾃｽﾄ\n",
         .ExpectedName = "一二三四五六七八九十一二三四五六 七", // two encoded words
         .ExpectedBody = "ガギパヴワ゛ テスト\n"},
        {.Subject = "Re: 会議の日程 (3/14) について ABC",
         .Name = "Taro Yamada",
         .Address = "taro@example.com",
         .Body = ".dot line\nplain ASCII\n\nend\n"},
        {.Subject = "Hello World",
         .Name = "Yamada \"Boss\" <x>",
         .Address = "taro@example.jp",
         .Body = halfwidth,
         .Flags = "fullwidth"},
        {.Subject = "価格は¥100～¥200",
         .Name = "",
         .Address = "a-rather-long-mailbox-name-for-testing@mail.example.co.jp",
         .Body = "値段は¥100〜\n最後の行に改行なし",
         .ExpectedSubject = "価格は￥100〜￥200",
         .ExpectedBody = "値段は￥100〜\n最後の行に改行なし"},
        {.Subject = "Hi\r\nBcc: evil@example.com",
         .Name = "伊藤\r\nBcc: evil@example.com",
         .Address = "a-rather-long-mailbox-name-for-testing@mail.example.co.jp",
         .Body = "本文\n",
         .ExpectedSubject = "Hi  Bcc: evil@example.com",
         .ExpectedName = "伊藤 Bcc: evil@example.com"},
        {.Subject = "ASCII and 漢字 mixed in a subject that is long enough to need two or three "
                    "encoded words",
         .Name = "Yamada, Taro",
         .Address = "t@x.jp",
         .Body = "\n"},
    };

    TTempDir dir;
    ASSERT_FALSE(dir.Path.empty());
    std::ofstream cases(dir.Path / "cases.tsv", std::ios::binary);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const TMessage& m = messages[i];
        const std::string subject = EncodeHeader(Convert(m.Subject, utf8), 9);
        const std::string name = EncodeDisplayName(Convert(m.Name, utf8), m.Address);
        const std::string body = Convert(WithCrLf(m.Body), utf8);
        ASSERT_TRUE(test::WellFormedJis(body)) << i;
        const std::string file = std::string("m").append(std::to_string(i)).append(".eml");
        std::ofstream eml(dir.Path / file, std::ios::binary);
        eml << "From: " << name << "<" << m.Address << ">\r\n"
            << "Subject: " << subject << "\r\n"
            << "MIME-Version: 1.0\r\n"
            << "Content-Type: text/plain; charset=iso-2022-jp\r\n"
            << "Content-Transfer-Encoding: 7bit\r\n"
            << "\r\n"
            << body;
        auto Or = [](const std::string& a, const std::string& b) { return a.empty() ? b : a; };
        cases << 'm' << i << '\t' << test::Hex(Or(m.ExpectedSubject, m.Subject)) << '\t'
              << test::Hex(Or(m.ExpectedName, m.Name)) << '\t' << m.Address << '\t'
              << test::Hex(Or(m.ExpectedBody, m.Body)) << '\t' << m.Flags << '\n';
    }
    cases.close();
    { std::ofstream(dir.Path / "reader.py") << Reader; }

    const fs::path out = dir.Path / "out.txt";
    const std::string command = "timeout 60 " + std::string(Python) + " '" +
                                (dir.Path / "reader.py").string() + "' '" + dir.Path.string() +
                                "' > '" + out.string() + "' 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream in(out);
    std::stringstream report;
    report << in.rdbuf();
    ASSERT_TRUE(WIFEXITED(status)) << report.str();
    EXPECT_EQ(WEXITSTATUS(status), 0) << report.str();
}

} // namespace
} // namespace quillo::kanji
