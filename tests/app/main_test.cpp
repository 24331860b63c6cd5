// The main window's behaviour driven directly, with a recording Ui and a scripted server.
#include "support/TempDir.h"
#include "app/Main.h"
#include "platform/CodePage.h"
#include "support/FakeSmtpServer.h"

#include <gtest/gtest.h>

namespace quillo {
namespace {

using namespace quillo::test;

struct RecordingUi : Ui {
    std::vector<std::string> Events;
    void MessageBox(const std::string& Text, const std::string& Caption, TMsgIcon) override {
        Events.push_back("box " + Caption + ": " + Text);
    }
    void ErrorBox(const std::string& Text) override { Events.push_back("error " + Text); }
    void Beep() override { Events.push_back("beep"); }
    void RunSetup(TfrmMain& Form) override {
        Events.push_back("setup");
        Form.btnCloseClick(&Form);
    }
    void ShowAbout(TfrmMain&) override { Events.push_back("about"); }
};

std::vector<Step> Success() {
    return {S("220 hi\r\n"),     C("HELO me\r\n"),
            S("250 hello\r\n"),  C("RSET\r\n"),
            S("250 ok\r\n"),     C(),
            S("250 ok\r\n"),     C(),
            S("250 ok\r\n"),     C("DATA\r\n"),
            S("354 go\r\n"),     Data(),
            S("250 queued\r\n"), C("QUIT\r\n"),
            S("221 bye\r\n"),    Close()};
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override { SetSystemCodePage("UTF-8"); }

    // Runs the window's life with these arguments against a server playing Script.
    void Run(std::vector<std::string> Args, const std::string& Name = "Taro Yamada",
             std::vector<Step> Script = Success()) {
        server = std::make_unique<FakeSmtpServer>(std::move(Script));
        home.Write("quillo.ini",
                   "[Setup]\r\nhost=127.0.0.1\r\nuser=me\r\naddress=taro@example.com\r\n"
                   "name=" +
                       Name + "\r\nbcc=\r\nerrdlg=1\r\nport=" + std::to_string(server->Port()) +
                       "\r\ntimeout=5\r\n");
        form = std::make_unique<TfrmMain>(ui, std::move(Args), home.Path());
        form->Create();
        form->Show();
    }
    // The DATA block as the server received it.
    std::string DataBlock() {
        for (const auto& l : server->Lines())
            if (l.find("\r\n.\r\n") != std::string::npos) return l;
        return {};
    }
    std::vector<std::string> Body() const { return form->NMSMTP1.PostMessage.Body.Lines(); }

    TempDir home;
    RecordingUi ui;
    std::unique_ptr<FakeSmtpServer> server;
    std::unique_ptr<TfrmMain> form;
};

TEST_F(MainWindow, SuccessfulRunBeepsAndClosesMinimised) {
    Run({"to@example.com", "Hello", "Body"});
    EXPECT_EQ(ui.Events, std::vector<std::string>{"beep"});
    EXPECT_EQ(form->bDone, 1);
    EXPECT_EQ(form->bAttached, 0);
    EXPECT_EQ(form->WindowState, wsMinimized);
    EXPECT_TRUE(form->Closed());
    EXPECT_EQ(form->ExitStatus, 0);
    EXPECT_TRUE(server->ScriptDone()) << server->Problems();
    const std::string data = DataBlock();
    EXPECT_EQ(data.rfind("From: Taro Yamada<taro@example.com>\r\n", 0), 0u) << data;
    EXPECT_NE(
        data.find("\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n\r\n\r\nBody\r\n.\r\n"),
        std::string::npos)
        << data;
}

TEST_F(MainWindow, BodyLines) {
    home.Write("no-final-break.txt", "first\r\nlast line");
    home.Write("empty-last-line.txt", "first\r\n\r\n");
    home.Write("empty.txt", "");
    struct Case {
        const char* Name;
        std::string Arg3;
        std::vector<std::string> Body;
        std::string Wire; // after the header's end
    } cases[] = {
        {"inline body is one line", "Hello there", {"Hello there"}, "Hello there\r\n.\r\n"},
        {"file without final break keeps its last line whole",
         "-f=" + (home / "no-final-break.txt"),
         {"first", "last line"},
         "first\r\nlast line\r\n.\r\n"},
        {"file ending in an empty line",
         "-f=" + (home / "empty-last-line.txt"),
         {"first", ""},
         "first\r\n\r\n.\r\n"},
        {"empty file", "-f=" + (home / "empty.txt"), {}, ".\r\n"},
        {"Japanese body converted",
         "本文です\n二行目",
         {"\x1B$BK\\J8$G$9\x1B(B", "\x1B$BFs9TL\\\x1B(B"},
         "\x1B$BK\\J8$G$9\x1B(B\r\n\x1B$BFs9TL\\\x1B(B\r\n.\r\n"},
    };
    for (const auto& c : cases) {
        ui.Events.clear();
        Run({"to@example.com", "s", c.Arg3});
        EXPECT_EQ(form->ExitStatus, 0) << c.Name;
        EXPECT_EQ(Body(), c.Body) << c.Name;
        const std::string data = DataBlock();
        const std::string tail = "\r\n\r\n\r\n" + c.Wire;
        EXPECT_TRUE(data.size() >= tail.size() &&
                    data.compare(data.size() - tail.size(), tail.size(), tail) == 0)
            << c.Name << ": " << data;
    }
}

TEST_F(MainWindow, HeaderTexts) {
    struct Case {
        const char* Name;
        std::string DisplayName;
        std::string Subject;
        std::string FromLine;
        std::string SubjectLine; // empty: no Subject line
    } cases[] = {
        {"empty name", "", "Hi", "From: <taro@example.com>", "Subject: Hi"},
        {"ASCII name stays", "Taro Yamada", "Hi", "From: Taro Yamada<taro@example.com>",
         "Subject: Hi"},
        {"ASCII name with specials is quoted", "Yamada, Taro", "Hi",
         "From: \"Yamada, Taro\" <taro@example.com>", "Subject: Hi"},
        {"a line break in the subject cannot start a header line", "Taro", "Hi\r\nBcc: x@y",
         "From: Taro<taro@example.com>", "Subject: Hi  Bcc: x@y"},
        {"Japanese name is encoded and kept apart from <", "山田", "件名",
         "From: =?ISO-2022-JP?B?GyRCOzNFRBsoQg==?= <taro@example.com>",
         "Subject: =?ISO-2022-JP?B?GyRCN29MPhsoQg==?="},
    };
    for (const auto& c : cases) {
        Run({"to@example.com", c.Subject, "b"}, c.DisplayName);
        EXPECT_EQ(form->ExitStatus, 0) << c.Name;
        const std::string data = DataBlock();
        EXPECT_EQ(data.rfind(c.FromLine + "\r\n", 0), 0u) << c.Name << ": " << data;
        EXPECT_NE(data.find("\r\n" + c.SubjectLine + "\r\n"), std::string::npos)
            << c.Name << ": " << data;
    }
}

TEST_F(MainWindow, SendStartReplacesOnlyTheFirstContentTypeLine) {
    RecordingUi quiet;
    TfrmMain form(quiet, {}, home.Path());
    struct Case {
        const char* Name;
        int Attached;
        std::vector<std::string> Before;
        std::vector<std::string> After;
    } cases[] = {
        {"first match only",
         0,
         {"From: <a@b>", "Content-Type: text/plain; charset=us-ascii", "Content-Type: x"},
         {"From: <a@b>", "Content-Type: text/plain; charset=iso-2022-jp", "Content-Type: x"}},
        {"case matters, short lines never match",
         0,
         {"content-type: a", "Content-Typ", "Content-Type", "Content-Type: b"},
         {"content-type: a", "Content-Typ", "Content-Type: text/plain; charset=iso-2022-jp",
          "Content-Type: b"}},
        {"the first 12 characters decide",
         0,
         {"Content-Typeless"},
         {"Content-Type: text/plain; charset=iso-2022-jp"}},
        {"no match, nothing changes",
         0,
         {"From: <a@b>", "Subject: s"},
         {"From: <a@b>", "Subject: s"}},
        {"with an attachment the header stays as assembled",
         1,
         {"From: <a@b>", "Content-Type: multipart/mixed; boundary=\"x\""},
         {"From: <a@b>", "Content-Type: multipart/mixed; boundary=\"x\""}},
    };
    for (const auto& c : cases) {
        form.bAttached = c.Attached;
        form.NMSMTP1.FinalHeader.Clear();
        for (const auto& l : c.Before)
            form.NMSMTP1.FinalHeader.Add(l);
        form.NMSMTP1SendStart(&form.NMSMTP1);
        EXPECT_EQ(form.NMSMTP1.FinalHeader.Lines(), c.After) << c.Name;
    }
}

TEST_F(MainWindow, AttachmentKeepsTheAssembledHeader) {
    home.Write("note.txt", "attached\n");
    Run({"to@example.com", "s", "b", home / "note.txt"});
    EXPECT_EQ(form->ExitStatus, 0) << server->Problems();
    EXPECT_EQ(form->bAttached, 1);
    const std::string data = DataBlock();
    EXPECT_NE(data.find("\r\nContent-Type: multipart/mixed"), std::string::npos) << data;
    EXPECT_EQ(data.find("iso-2022-jp"), std::string::npos) << data;
}

TEST_F(MainWindow, BodyFileFailureLeavesTheWindowOpen) {
    Run({"to@example.com", "s", "-f=" + (home / "missing.txt")}, "Taro Yamada",
        {S("220 hi\r\n"), C("HELO me\r\n"), S("250 hello\r\n")});
    ASSERT_EQ(ui.Events.size(), 2u);
    EXPECT_EQ(ui.Events[0], "error ファイル " + (home / "missing.txt") + " は開けません.");
    EXPECT_EQ(ui.Events[1], "setup");
    EXPECT_EQ(form->bDone, 0);
    EXPECT_EQ(form->ExitStatus, 66);
}

} // namespace
} // namespace quillo
