// The program as a user starts it: settings folder, command line, exit status, log, boxes on
// stderr, and the exact dialogue a scripted server sees.
#include "Program.h"
#include "support/FakeSmtpServer.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace quillo {
namespace {

using namespace quillo::test;

const std::string kAttachmentLog = "添付ﾌｧｲﾙが見つからない";
const std::string kAttachmentBox = "添付ﾌｧｲﾙが見当たりません";

std::vector<Step> Greeting() {
    return {S("220 fake.example ESMTP\r\n"), C("HELO client.example\r\n"), S("250 hello\r\n")};
}

// Greeting to the end of data, with Bcc when given.
std::vector<Step> Transaction(const std::string& Bcc = "keep@example.com") {
    std::vector<Step> s = Greeting();
    for (Step step :
         {C("RSET\r\n"), S("250 reset\r\n"), C("MAIL FROM:<taro@example.com>\r\n"),
          S("250 sender ok\r\n"), C("RCPT TO:<to@example.com>\r\n"), S("250 rcpt ok\r\n")})
        s.push_back(step);
    if (!Bcc.empty()) {
        s.push_back(C("RCPT TO:<" + Bcc + ">\r\n"));
        s.push_back(S("250 rcpt ok\r\n"));
    }
    s.push_back(C("DATA\r\n"));
    s.push_back(S("354 go ahead\r\n"));
    s.push_back(Data());
    return s;
}

std::vector<Step> Success(const std::string& Bcc = "keep@example.com") {
    std::vector<Step> s = Transaction(Bcc);
    for (Step step : {S("250 queued\r\n"), C("QUIT\r\n"), S("221 bye\r\n"), Close()})
        s.push_back(step);
    return s;
}

Limits Quick() {
    Limits l;
    l.accept = std::chrono::milliseconds(3000);
    l.step = std::chrono::milliseconds(3000);
    l.drain = std::chrono::milliseconds(1000);
    return l;
}

// Text has the shape of Pattern at Pos: '#' a digit, 'A' an upper-case letter, 'a' a
// lower-case one, 'S' a sign; anything else stands for itself.
bool Shaped(const std::string& Text, std::size_t Pos, const char* Pattern) {
    const std::size_t n = std::strlen(Pattern);
    if (Pos + n > Text.size()) return false;
    for (std::size_t i = 0; i < n; ++i) {
        const char c = Text[Pos + i];
        const char p = Pattern[i];
        const bool ok = p == '#'   ? (c >= '0' && c <= '9')
                        : p == 'A' ? (c >= 'A' && c <= 'Z')
                        : p == 'a' ? (c >= 'a' && c <= 'z')
                        : p == 'S' ? (c == '+' || c == '-')
                                   : c == p;
        if (!ok) return false;
    }
    return true;
}

// The log line of a failure: date, optional time, the arguments, the message.
void ExpectLogLine(const std::string& Log, const std::string& ArgsAndMessage) {
    ASSERT_TRUE(Shaped(Log, 0, "####/##/##")) << Log;
    std::size_t start = 0;
    for (const char* rest : {",", " #:##:##,", " ##:##:##,"})
        if (Shaped(Log, 10, rest)) start = 10 + std::strlen(rest);
    ASSERT_NE(start, 0u) << Log;
    EXPECT_EQ(Log.substr(start), ArgsAndMessage + "\r\n");
}

TEST(Program, FirstStartWritesTheSettingsFile) {
    TempDir home;
    const ProgramResult r = RunQuillo({}, home);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(home.Read("quillo.ini"),
              "[Setup]\r\nhost=\r\nuser=\r\naddress=\r\nname=\r\nbcc=\r\nerrdlg=1\r\nport=25\r\n");
    EXPECT_NE(r.Stderr.find("settings: " + (home / "quillo.ini")), std::string::npos) << r.Stderr;
    EXPECT_NE(r.Stderr.find("quillo recipient subject -f=file [attachment]"), std::string::npos);
    EXPECT_FALSE(home.Exists("quillo.log"));
}

// Starts that end in the setup window: nothing is sent, the settings are written back.
TEST(Program, SetupSessions) {
    const std::string host300(300, 'h');
    struct Case {
        const char* Name;
        std::vector<std::string> Args;
        std::string Host;
        std::string ErrDlg;
        int Status;
        std::string HostWritten;
        std::string ErrDlgWritten;
    } cases[] = {
        {"no arguments", {}, "127.0.0.1", "1", 0, "127.0.0.1", "1"},
        {"two arguments", {"to@example.com", "subject"}, "127.0.0.1", "1", 64, "127.0.0.1", "1"},
        {"five arguments", {"a", "b", "c", "d", "e"}, "127.0.0.1", "0", 64, "127.0.0.1", "0"},
        {"empty quoted subject disappears",
         {"to@example.com", "", "body"},
         "127.0.0.1",
         "1",
         64,
         "127.0.0.1",
         "1"},
        {"no host with three arguments", {"to@example.com", "s", "b"}, "", "1", 78, "", "1"},
        {"no host with four arguments", {"to@example.com", "s", "b", "x"}, "", "0", 78, "", "0"},
        {"errdlg 2 written back as 1", {}, "", "2", 0, "", "1"},
        {"300-byte host read as 255 bytes",
         {"a", "b"},
         host300,
         "1",
         64,
         host300.substr(0, 255),
         "1"},
    };
    for (const auto& c : cases) {
        TempDir home;
        Settings s;
        s.Host = c.Host;
        s.ErrDlg = c.ErrDlg;
        RefusingPort refusing;
        s.Port = refusing.Port();
        s.Extra = "timeout=3\r\n";
        WriteSettings(home, s);
        const ProgramResult r = RunQuillo(c.Args, home);
        EXPECT_EQ(r.Status, c.Status) << c.Name;
        Settings w = s;
        w.Host = c.HostWritten;
        w.ErrDlg = c.ErrDlgWritten;
        TempDir expected;
        WriteSettings(expected, w);
        EXPECT_EQ(home.Read("quillo.ini"), expected.Read("quillo.ini")) << c.Name;
        EXPECT_FALSE(home.Exists("quillo.log")) << c.Name;
        EXPECT_EQ(r.Stderr.find("Quillo: "), std::string::npos) << c.Name << ": no box";
    }
}

TEST(Program, SuccessSendsOneMailAndLeavesTheSettingsAlone) {
    FakeSmtpServer server(Success(), Quick());
    TempDir home;
    Settings s;
    s.Port = server.Port();
    WriteSettings(home, s);
    struct stat before {};
    ::stat((home / "quillo.ini").c_str(), &before);

    const ProgramResult r = RunQuillo({"to@example.com", "Greetings", "Hello\nthere"}, home);
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_EQ(r.Stderr, "");
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    std::string block;
    for (const auto& l : server.Lines())
        if (l.find("Subject:") != std::string::npos) block = l;
    EXPECT_NE(block.find("From: Taro Yamada<taro@example.com>\r\n"), std::string::npos) << block;
    EXPECT_NE(block.find("To: to@example.com\r\n"), std::string::npos) << block;
    EXPECT_NE(block.find("Subject: Greetings\r\n"), std::string::npos) << block;
    EXPECT_NE(block.find("X-Mailer: Quillo\r\n"), std::string::npos) << block;
    const std::size_t date = block.find("\r\nDate: ");
    ASSERT_NE(date, std::string::npos) << block;
    EXPECT_TRUE(Shaped(block, date + 8, "Aaa, ## Aaa #### ##:##:## S####\r\n")) << block;
    EXPECT_EQ(block.find("keep@example.com"), std::string::npos) << "blind copy in the header";
    EXPECT_NE(block.find("\r\n\r\nHello\r\nthere\r\n.\r\n"), std::string::npos) << block;

    struct stat after {};
    ::stat((home / "quillo.ini").c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_FALSE(home.Exists("quillo.log"));
}

TEST(Program, EmptyBlindCopySendsNoRecipientForIt) {
    FakeSmtpServer server(Success(""), Quick());
    TempDir home;
    Settings s;
    s.Port = server.Port();
    s.Bcc = "";
    WriteSettings(home, s);
    const ProgramResult r = RunQuillo({"to@example.com", "s", "b"}, home);
    EXPECT_EQ(r.Status, 0) << r.Stderr;
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
}

TEST(Program, BodyTextForms) {
    TempDir home;
    home.Write("body.txt", "file line 1\nfile line 2");
    struct Case {
        const char* Name;
        std::string Arg3;
        std::string Body; // as it stands in the DATA block, end of data included
    } cases[] = {
        {"capital F is body text", "-F=body.txt", "\r\n\r\n-F=body.txt\r\n.\r\n"},
        {"relative body file", "-f=body.txt", "\r\n\r\nfile line 1\r\nfile line 2\r\n.\r\n"},
    };
    for (const auto& c : cases) {
        FakeSmtpServer server(Success(), Quick());
        Settings s;
        s.Port = server.Port();
        WriteSettings(home, s);
        const ProgramResult r = RunQuillo({"to@example.com", "s", c.Arg3}, home);
        EXPECT_EQ(r.Status, 0) << c.Name << r.Stderr;
        const auto lines = server.Lines();
        bool found = false;
        for (const auto& l : lines)
            found |= l.size() >= c.Body.size() &&
                     l.compare(l.size() - c.Body.size(), c.Body.size(), c.Body) == 0;
        EXPECT_TRUE(found) << c.Name << ": " << server.Transcript();
    }
}

TEST(Program, MissingAttachmentIsReportedOnceWithoutConnecting) {
    for (const bool logged : {true, false}) {
        TempDir home;
        Settings s;
        RefusingPort refusing; // a connection attempt would fail differently
        s.Port = refusing.Port();
        s.ErrDlg = logged ? "1" : "0";
        WriteSettings(home, s);
        const std::string before = home.Read("quillo.ini");
        const ProgramResult r = RunQuillo({"to@example.com", "s", "b", "missing.txt"}, home);
        EXPECT_EQ(r.Status, 66);
        EXPECT_EQ(home.Read("quillo.ini"), before) << "settings not written after a run";
        if (logged) {
            ExpectLogLine(home.Read("quillo.log"),
                          "to@example.com,s,b,missing.txt," + kAttachmentLog);
            EXPECT_EQ(r.Stderr, "");
        } else {
            EXPECT_FALSE(home.Exists("quillo.log"));
            EXPECT_EQ(r.Stderr, "Quillo: " + kAttachmentBox + "\n");
        }
    }
}

TEST(Program, DirectoryAttachmentPassesTheCheck) {
    // The check passes; the client then cannot read a directory and sends nothing of the mail.
    FakeSmtpServer server(Greeting(), Quick());
    TempDir home;
    std::filesystem::create_directory(home / "folder");
    Settings s;
    s.Port = server.Port();
    WriteSettings(home, s);
    const ProgramResult r = RunQuillo({"to@example.com", "s", "b", "folder"}, home);
    EXPECT_EQ(r.Status, 66) << r.Stderr;
    ExpectLogLine(home.Read("quillo.log"), "to@example.com,s,b,folder,送信失敗");
    EXPECT_EQ(server.Transcript(), "HELO client.example\r\n");
}

TEST(Program, MissingBodyFileShowsTheErrorBoxAndTheSetupWindow) {
    FakeSmtpServer server(Greeting(), Quick());
    TempDir home;
    Settings s;
    s.Port = server.Port();
    s.ErrDlg = "2"; // ticked, still a box; written back as 1 by the setup session
    WriteSettings(home, s);
    const ProgramResult r = RunQuillo({"to@example.com", "s", "-f=nothing.txt"}, home);
    EXPECT_EQ(r.Status, 66);
    EXPECT_EQ(r.Stderr.rfind("quillo: ファイル nothing.txt は開けません.\n", 0), 0u) << r.Stderr;
    EXPECT_NE(r.Stderr.find("settings: "), std::string::npos) << r.Stderr;
    EXPECT_FALSE(home.Exists("quillo.log"));
    EXPECT_NE(home.Read("quillo.ini").find("errdlg=1\r\n"), std::string::npos);
    EXPECT_EQ(server.Transcript(), "HELO client.example\r\n") << "connected first, no QUIT";
}

// Each failure: the dialogue up to it, what the run reports and how the program exits.
TEST(Program, FailuresAndExitStatuses) {
    auto upTo = [](std::vector<Step> s, std::vector<Step> more) {
        s.insert(s.end(), more.begin(), more.end());
        return s;
    };
    std::vector<Step> mailFrom = Greeting();
    for (Step step : {C("RSET\r\n"), S("250 reset\r\n"), C("MAIL FROM:<taro@example.com>\r\n")})
        mailFrom.push_back(step);

    struct Case {
        const char* Name;
        std::vector<Step> Script;
        std::string Address;
        std::string Recipient;
        std::string Message;
        int Status;
    } cases[] = {
        {"greeting 554",
         {S("554 go away\r\n"), C("QUIT\r\n"), S("221 bye\r\n")},
         "taro@example.com",
         "to@example.com",
         "接続失敗",
         69},
        {"HELO 451",
         {S("220 hi\r\n"), C(), S("451 later\r\n"), C("QUIT\r\n"), S("221 bye\r\n")},
         "taro@example.com",
         "to@example.com",
         "接続失敗",
         75},
        {"HELO 550",
         {S("220 hi\r\n"), C(), S("550 no\r\n"), C("QUIT\r\n"), S("221 bye\r\n")},
         "taro@example.com",
         "to@example.com",
         "接続失敗",
         69},
        {"closed at once", {Close()}, "taro@example.com", "to@example.com", "接続失敗", 75},
        {"empty sender", Greeting(), "", "to@example.com", "送信失敗", 78},
        {"line break in the recipient", Greeting(), "taro@example.com", "to@example.com\nRSET",
         "送信失敗", 65},
        {"MAIL FROM 553", upTo(mailFrom, {S("553 no such sender\r\n")}), "taro@example.com",
         "to@example.com", "送信失敗", 69},
        {"MAIL FROM 451", upTo(mailFrom, {S("451 try later\r\n")}), "taro@example.com",
         "to@example.com", "送信失敗", 75},
        {"end of data 554", upTo(Transaction(), {S("554 rejected\r\n")}), "taro@example.com",
         "to@example.com", "送信失敗", 69},
        {"connection lost in DATA", upTo(Transaction(), {Close()}), "taro@example.com",
         "to@example.com", "送信失敗", 75},
        {"QUIT 500", upTo(Transaction(), {S("250 queued\r\n"), C("QUIT\r\n"), S("500 what\r\n")}),
         "taro@example.com", "to@example.com", "切断失敗", 76},
    };
    for (const auto& c : cases) {
        FakeSmtpServer server(c.Script, Quick());
        TempDir home;
        Settings s;
        s.Port = server.Port();
        s.Address = c.Address;
        WriteSettings(home, s);
        const std::string before = home.Read("quillo.ini");
        const ProgramResult r = RunQuillo({c.Recipient, "s", "b"}, home);
        EXPECT_EQ(r.Status, c.Status) << c.Name << "\n" << r.Stderr;
        // The log is a text file: an LF inside an argument is written as CR LF.
        std::string recipient = c.Recipient;
        if (const auto lf = recipient.find('\n'); lf != std::string::npos)
            recipient.insert(lf, "\r");
        ExpectLogLine(home.Read("quillo.log"), recipient + ",s,b," + c.Message);
        EXPECT_EQ(r.Stderr, "") << c.Name;
        EXPECT_EQ(home.Read("quillo.ini"), before) << c.Name;
        EXPECT_TRUE(server.ScriptDone()) << c.Name << ": " << server.Problems();
        if (c.Status == 65 || c.Status == 78) {
            EXPECT_EQ(server.Transcript(), "HELO client.example\r\n")
                << c.Name << ": refused before the mail transaction";
        }
    }
}

TEST(Program, RefusedConnectionInABox) {
    TempDir home;
    Settings s;
    RefusingPort refusing;
    s.Port = refusing.Port();
    s.ErrDlg = "0";
    WriteSettings(home, s);
    const ProgramResult r = RunQuillo({"to@example.com", "s", "b"}, home);
    EXPECT_EQ(r.Status, 75);
    EXPECT_EQ(r.Stderr, "Quillo: 接続失敗\n");
    EXPECT_FALSE(home.Exists("quillo.log"));
}

TEST(Program, TimeoutSettingEndsASilentDialogue) {
    FakeSmtpServer server({S("220 hi\r\n"), C(), Pause(4000)}, Quick());
    TempDir home;
    Settings s;
    s.Port = server.Port();
    s.Extra = "timeout=1\r\n";
    WriteSettings(home, s);
    const ProgramResult r = RunQuillo({"to@example.com", "s", "b"}, home, 10000);
    EXPECT_EQ(r.Status, 75) << r.Stderr;
    ExpectLogLine(home.Read("quillo.log"), "to@example.com,s,b,接続失敗");
}

// What a reader gets back from a Japanese mail: Python's email package decodes the subject,
// the display name and the body to the texts that were given.
TEST(Program, JapaneseTextsSurviveTheRoundTrip) {
    const std::string subject = "日本語の件名です。長い件名は折り返されても元に戻ります、"
                                "a mixed tail with ASCII words 最後";
    const std::string name = "山田 太郎";
    const std::string body = "一行目\n二行目、ＡＢＣ\n\n.dot line\n最終行";

    FakeSmtpServer server(Success(), Quick());
    TempDir home;
    Settings s;
    s.Port = server.Port();
    s.Name = name;
    WriteSettings(home, s);
    const ProgramResult r = RunQuillo({"to@example.com", subject, body}, home);
    ASSERT_EQ(r.Status, 0) << r.Stderr;

    std::string block;
    for (const auto& l : server.Lines())
        if (l.find("\r\n.\r\n") != std::string::npos) block = l;
    ASSERT_FALSE(block.empty()) << server.Transcript();
    for (const unsigned char c : block)
        ASSERT_LT(c, 0x80) << "8-bit byte on the wire";
    // Back to the message: the end-of-data line off, doubled leading dots undone.
    block.resize(block.size() - 3);
    std::string message;
    for (std::size_t pos = 0; pos < block.size();) {
        std::size_t end = block.find("\r\n", pos);
        end = end == std::string::npos ? block.size() : end + 2;
        std::string line = block.substr(pos, end - pos);
        if (line.rfind("..", 0) == 0) line.erase(0, 1);
        message += line;
        pos = end;
    }
    home.Write("message.eml", message);
    const std::string command = "timeout 20 /usr/bin/python3 " DECODE_MAIL_PY " '" +
                                (home / "message.eml") + "' '" + (home / "decoded.txt") + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << message;
    // The body starts after one more empty line than the header's end, as the client sends it.
    EXPECT_EQ(home.Read("decoded.txt"),
              subject + "\n" + name + "\ntaro@example.com\n\n" + body + "\n")
        << message;
}

} // namespace
} // namespace quillo
