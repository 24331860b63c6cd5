// The SMTP dialogue against a scripted server: exact transcripts, reply thresholds, events.
#include "SmtpTestUtil.h"

#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace quillo::test {
namespace {

const std::string kStandardCommands = "HELO me\r\nRSET\r\nMAIL FROM:<me@example.com>\r\n"
                                      "RCPT TO:<you@example.com>\r\nDATA\r\n";

struct Outcome {
    std::string error; // "Phase: message" of the first failure, empty on success
    std::string events;
    std::string transcript;
    bool connectedAfter = true;
    bool scriptDone = false;
    std::string problems;
    std::string unscripted; // what the client sent after the script (taken by the drain)
};

using Setup = std::function<void(TNMSMTP&, std::string& Events)>;

// Connect, SendMail, Disconnect as the application runs them; after a failed SendMail the
// connection is still closed with Disconnect.
Outcome RunSession(Script ServerScript, const Setup& Prepare = nullptr) {
    FakeSmtpServer server(std::move(ServerScript));
    Outcome o;
    {
        TNMSMTP client;
        PointAt(client, server);
        FillMessage(client.PostMessage);
        client.OnConnect = [&](TObject*) { o.events += "Connect;"; };
        client.OnSuccess = [&](TObject*) { o.events += "Success;"; };
        client.OnFailure = [&](TObject*) { o.events += "Failure;"; };
        client.OnRecipientNotFound = [&](const std::string& r) {
            o.events += "NotFound(" + r + ");";
        };
        if (Prepare) Prepare(client, o.events);
        std::string phase = "Connect";
        try {
            client.Connect();
            phase = "SendMail";
            client.SendMail();
            phase = "Disconnect";
            client.Disconnect();
        } catch (const Exception& e) {
            o.error = phase + ": " + e.Message();
            if (phase == "SendMail") {
                try {
                    client.Disconnect();
                } catch (const Exception& again) {
                    o.error += " / Disconnect: " + again.Message();
                }
            }
        }
        o.connectedAfter = client.Connected;
    }
    o.transcript = server.Transcript();
    o.scriptDone = server.ScriptDone();
    o.problems = server.Problems();
    const std::string scripted = Concat(server.Lines());
    o.unscripted = o.transcript.compare(0, scripted.size(), scripted) == 0
                       ? o.transcript.substr(scripted.size())
                       : "(transcript differs from the script's lines)";
    return o;
}

TEST(SmtpDialogue, WorkedExampleAsSendStartSeesItAndOnTheWire) {
    const Script script = Join({Greet(),
                                Helo(),
                                Cmd("RSET\r\n", "250 reset\r\n"),
                                Cmd("MAIL FROM:<me@example.com>\r\n", "250 ok\r\n"),
                                Cmd("RCPT TO:<you@example.com>\r\n", "250 ok\r\n"),
                                Cmd("RCPT TO:<keep@example.com>\r\n", "250 ok\r\n"),
                                Cmd("DATA\r\n", "354 go\r\n"),
                                {Data(), S("250 queued\r\n")},
                                Quit()});
    std::string seenBySendStart;
    const Outcome o = RunSession(script, [&](TNMSMTP& c, std::string&) {
        c.PostMessage.ToBlindCarbonCopy.Add("keep@example.com");
        c.PostMessage.Body.Clear();
        c.PostMessage.Body.Add("first line");
        c.PostMessage.Body.Add(".second line");
        c.OnSendStart = [&seenBySendStart, &c](TObject*) {
            seenBySendStart = c.FinalHeader.Text();
        };
    });
    const std::string header = "From: Me<me@example.com>\r\n"
                               "To: you@example.com\r\n"
                               "Subject: Hello\r\n"
                               "X-Mailer: Quillo\r\n"
                               "Mime-Version: 1.0\r\n"
                               "Content-Type: text/plain; charset=us-ascii\r\n";
    EXPECT_EQ(seenBySendStart, header);
    EXPECT_EQ(o.error, "");
    EXPECT_TRUE(o.scriptDone) << o.problems;
    EXPECT_EQ(o.transcript, "HELO me\r\nRSET\r\nMAIL FROM:<me@example.com>\r\n"
                            "RCPT TO:<you@example.com>\r\nRCPT TO:<keep@example.com>\r\n"
                            "DATA\r\n" +
                                header +
                                "\r\n"
                                "\r\n"
                                "first line\r\n"
                                "..second line\r\n"
                                ".\r\n"
                                "QUIT\r\n");
    EXPECT_EQ(o.events, "Connect;Success;");
    EXPECT_FALSE(o.connectedAfter);
}

struct ReplyCase {
    const char* name;
    Script script;
    Setup setup;
    std::string error;
    std::string events;
    std::string transcript;
    std::string unscripted = "";
};

void PrintTo(const ReplyCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(SmtpReplies, GiveTheSpecifiedOutcome) {
    const ReplyCase& c = GetParam();
    const Outcome o = RunSession(c.script, c.setup);
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.events, c.events);
    EXPECT_EQ(o.transcript, c.transcript);
    EXPECT_TRUE(o.scriptDone) << o.problems;
    EXPECT_EQ(o.unscripted, c.unscripted);
    EXPECT_FALSE(o.connectedAfter); // every outcome ends with the socket closed
}

const std::string kFull = kStandardCommands + StandardData() + "QUIT\r\n";

Setup RetryHelo(const char* NewName, bool Handle) {
    return [=](TNMSMTP& c, std::string& events) {
        c.OnAuthenticationFailed = [&c, &events, NewName, Handle](bool& handled) {
            events += "AuthFailed;";
            c.UserID = NewName;
            handled = Handle;
        };
    };
}

Setup TwoCopies() {
    return [](TNMSMTP& c, std::string&) {
        c.PostMessage.ToCarbonCopy.Add("Copy One <one@example.com>");
        c.PostMessage.ToCarbonCopy.Add("two@example.com");
    };
}

std::string CopiesData() {
    std::string d = StandardData();
    d.insert(d.find("Subject:"), "CC: Copy One <one@example.com>,two@example.com\r\n");
    return d;
}

Script CopiesMail(const char* FirstCopyReply) {
    return Join({Cmd("RSET\r\n", "250 ok\r\n"),
                 Cmd("MAIL FROM:<me@example.com>\r\n", "250 ok\r\n"),
                 Cmd("RCPT TO:<you@example.com>\r\n", "250 ok\r\n"),
                 Cmd("RCPT TO:<one@example.com>\r\n", FirstCopyReply),
                 Cmd("RCPT TO:<two@example.com>\r\n", "250 ok\r\n"),
                 Cmd("DATA\r\n", "354 go\r\n"),
                 {Data(), S("250 queued\r\n")}});
}

const std::string kCopiesCommands = "HELO me\r\nRSET\r\nMAIL FROM:<me@example.com>\r\n"
                                    "RCPT TO:<you@example.com>\r\nRCPT TO:<one@example.com>\r\n"
                                    "RCPT TO:<two@example.com>\r\nDATA\r\n";

// The completeness check's handler: records hiType, then does what the case wants.
enum class Fix { Decline, Sender, Recipient, Nothing };

Setup Incomplete(std::function<void(TPostMessage&)> Change, std::optional<Fix> Handler) {
    return [=](TNMSMTP& c, std::string& events) {
        Change(c.PostMessage);
        if (!Handler) return;
        c.OnHeaderIncomplete = [&c, &events, fix = *Handler](bool& handled, int hiType) {
            events += "Incomplete(" + std::to_string(hiType) + ");";
            handled = fix != Fix::Decline;
            if (fix == Fix::Sender) c.PostMessage.FromAddress = "late@example.com";
            if (fix == Fix::Recipient) c.PostMessage.ToBlindCarbonCopy.Add("late@example.com");
        };
    };
}

void NoSender(TPostMessage& m) {
    m.FromAddress.clear();
}
void NoRecipient(TPostMessage& m) {
    m.ToAddress.Clear();
}
void Neither(TPostMessage& m) {
    NoSender(m), NoRecipient(m);
}

std::string WithoutToLine(std::string Data) {
    Data.erase(Data.find("To: "), std::string("To: you@example.com\r\n").size());
    return Data;
}

// RSET to the end of data with the given envelope lines, every reply accepting.
Script Envelope(const std::string& From, const std::vector<std::string>& Rcpts) {
    Script s =
        Join({Cmd("RSET\r\n", "250 ok\r\n"), Cmd("MAIL FROM:<" + From + ">\r\n", "250 ok\r\n")});
    for (const auto& r : Rcpts)
        s = Join({s, Cmd("RCPT TO:<" + r + ">\r\n", "250 ok\r\n")});
    return Join({s, Cmd("DATA\r\n", "354 go\r\n"), {Data(), S("250 queued\r\n")}});
}

std::string EnvelopeText(const std::string& From, const std::vector<std::string>& Rcpts) {
    std::string t = "HELO me\r\nRSET\r\nMAIL FROM:<" + From + ">\r\n";
    for (const auto& r : Rcpts)
        t += "RCPT TO:<" + r + ">\r\n";
    return t + "DATA\r\n";
}

std::string SenderFilledData() {
    std::string d = StandardData();
    d.replace(0, d.find("\r\n"), "From: Me<>");
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmtpReplies,
    ::testing::Values(
        ReplyCase{"NoSenderNoHandler", Join({Greet(), Helo(), Quit()}),
                  Incomplete(NoSender, std::nullopt), "SendMail: Incomplete Header", "Connect;",
                  "HELO me\r\nQUIT\r\n"},
        ReplyCase{"NoRecipientNoHandler", Join({Greet(), Helo(), Quit()}),
                  Incomplete(NoRecipient, std::nullopt), "SendMail: Incomplete Header", "Connect;",
                  "HELO me\r\nQUIT\r\n"},
        ReplyCase{"NeitherAndHandlerDeclines", Join({Greet(), Helo(), Quit()}),
                  Incomplete(Neither, Fix::Decline), "SendMail: Incomplete Header",
                  "Connect;Incomplete(1);", "HELO me\r\nQUIT\r\n"},
        ReplyCase{"HandlerClaimsButFixesNothing", Join({Greet(), Helo(), Quit()}),
                  Incomplete(NoRecipient, Fix::Nothing), "SendMail: Incomplete Header",
                  "Connect;Incomplete(2);", "HELO me\r\nQUIT\r\n"},
        // The header was assembled before the check: the late sender is in the envelope only.
        ReplyCase{
            "HandlerFillsInSender",
            Join({Greet(), Helo(), Envelope("late@example.com", {"you@example.com"}), Quit()}),
            Incomplete(NoSender, Fix::Sender), "", "Connect;Incomplete(1);Success;",
            EnvelopeText("late@example.com", {"you@example.com"}) + SenderFilledData() +
                "QUIT\r\n"},
        ReplyCase{"HandlerAddsRecipient",
                  Join({Greet(), Helo(), Envelope("me@example.com", {"late@example.com"}), Quit()}),
                  Incomplete(NoRecipient, Fix::Recipient), "", "Connect;Incomplete(2);Success;",
                  EnvelopeText("me@example.com", {"late@example.com"}) +
                      WithoutToLine(StandardData()) + "QUIT\r\n"},
        ReplyCase{"EmptyBccNextToTo", Join({Greet(), Helo(), Mail(), Quit()}),
                  Incomplete([](TPostMessage& m) { m.ToBlindCarbonCopy.Add(""); }, std::nullopt),
                  "", "Connect;Success;", kFull},
        ReplyCase{"OnlyAnEmptyBcc", Join({Greet(), Helo(), Envelope("me@example.com", {}), Quit()}),
                  Incomplete(
                      [](TPostMessage& m) {
                          m.ToAddress.Clear();
                          m.ToBlindCarbonCopy.Add("");
                      },
                      std::nullopt),
                  "", "Connect;Success;",
                  EnvelopeText("me@example.com", {}) + WithoutToLine(StandardData()) + "QUIT\r\n"},
        ReplyCase{"Greeting554", Join({{S("554 no service\r\n")}, Quit()}), nullptr,
                  "Connect: 554 no service\r\n", "", "QUIT\r\n"},
        ReplyCase{"GreetingOfSeveralLines",
                  Join({{S("220-one\r\n220-two\r\n"), S("220 three\r\n")}, Helo(), Mail(), Quit()}),
                  nullptr, "", "Connect;Success;", kFull},
        ReplyCase{
            "GreetingContinuedByBlank",
            Join({{S("220-one\r\n"), S(" more\r\n"), S("220 done\r\n")}, Helo(), Mail(), Quit()}),
            nullptr, "", "Connect;Success;", kFull},
        ReplyCase{"GreetingRefusedInItsLastLine",
                  Join({{S("421-busy\r\n421 try later\r\n")}, Quit()}), nullptr,
                  "Connect: 421 try later\r\n", "", "QUIT\r\n"},
        ReplyCase{"HeloOfSeveralLines",
                  Join({Greet(), Cmd("HELO me\r\n", "250-fake\r\n250-SIZE 100\r\n250 HELP\r\n"),
                        Mail(), Quit()}),
                  nullptr, "", "Connect;Success;", kFull},
        ReplyCase{"Helo299Accepted",
                  Join({Greet(), Cmd("HELO me\r\n", "299 ok\r\n"), Mail(), Quit()}), nullptr, "",
                  "Connect;Success;", kFull},
        ReplyCase{"Helo300Refused", Join({Greet(), Cmd("HELO me\r\n", "300 odd\r\n"), Quit()}),
                  nullptr, "Connect: Authentication failed", "", "HELO me\r\nQUIT\r\n"},
        ReplyCase{"HeloRetriedThroughHandler",
                  Join({Greet(), Cmd("HELO me\r\n", "550 who\r\n"),
                        Cmd("HELO other\r\n", "250 ok\r\n"), Mail(), Quit()}),
                  RetryHelo("other", true), "", "AuthFailed;Connect;Success;",
                  "HELO me\r\nHELO other\r\n" + kFull.substr(9)},
        ReplyCase{"HeloRefusedTwice",
                  Join({Greet(), Cmd("HELO me\r\n", "550 who\r\n"),
                        Cmd("HELO other\r\n", "550 no\r\n"), Quit()}),
                  RetryHelo("other", true), "Connect: Authentication failed", "AuthFailed;",
                  "HELO me\r\nHELO other\r\nQUIT\r\n"},
        ReplyCase{"HeloHandlerDeclines", Join({Greet(), Cmd("HELO me\r\n", "500 no\r\n"), Quit()}),
                  RetryHelo("other", false), "Connect: Authentication failed", "AuthFailed;",
                  "HELO me\r\nQUIT\r\n"},
        ReplyCase{"GreetingRefusedAndQuitRefused",
                  Join({{S("554 no\r\n")}, Cmd("QUIT\r\n", "500 ?\r\n")}), nullptr,
                  "Connect: 500 ?\r\n", "", "QUIT\r\n"},
        ReplyCase{"Rset421", Join({Greet(), Helo(), Cmd("RSET\r\n", "421 closing\r\n"), Quit()}),
                  nullptr, "SendMail: 421 closing\r\n", "Connect;", "HELO me\r\nRSET\r\nQUIT\r\n"},
        ReplyCase{"Rset399Passes",
                  Join({Greet(),
                        Helo(),
                        Cmd("RSET\r\n", "399 hm\r\n"),
                        Cmd("MAIL FROM:<me@example.com>\r\n", "250 ok\r\n"),
                        Cmd("RCPT TO:<you@example.com>\r\n", "250 ok\r\n"),
                        Cmd("DATA\r\n", "354 go\r\n"),
                        {Data(), S("250 queued\r\n")},
                        Quit()}),
                  nullptr, "", "Connect;Success;", kFull},
        ReplyCase{"Mail451",
                  Join({Greet(), Helo(), Cmd("RSET\r\n", "250 ok\r\n"),
                        Cmd("MAIL FROM:<me@example.com>\r\n", "451 later\r\n"), Quit()}),
                  nullptr, "SendMail: 451 later\r\n", "Connect;",
                  "HELO me\r\nRSET\r\nMAIL FROM:<me@example.com>\r\nQUIT\r\n"},
        ReplyCase{"Mail550",
                  Join({Greet(), Helo(), Cmd("RSET\r\n", "250 ok\r\n"),
                        Cmd("MAIL FROM:<me@example.com>\r\n", "550 denied\r\n"), Quit()}),
                  nullptr, "SendMail: 550 denied\r\n", "Connect;",
                  "HELO me\r\nRSET\r\nMAIL FROM:<me@example.com>\r\nQUIT\r\n"},
        ReplyCase{"Rcpt550OnCopyGoesOn",
                  Join({Greet(), Helo(), CopiesMail("550 unknown\r\n"), Quit()}), TwoCopies(), "",
                  "Connect;NotFound(Copy One <one@example.com>);Success;",
                  kCopiesCommands + CopiesData() + "QUIT\r\n"},
        ReplyCase{"Rcpt300CallsNothing", Join({Greet(), Helo(), CopiesMail("300 odd\r\n"), Quit()}),
                  TwoCopies(), "", "Connect;Success;", kCopiesCommands + CopiesData() + "QUIT\r\n"},
        ReplyCase{"Data451",
                  Join({Greet(), Helo(), Cmd("RSET\r\n", "250 ok\r\n"),
                        Cmd("MAIL FROM:<me@example.com>\r\n", "250 ok\r\n"),
                        Cmd("RCPT TO:<you@example.com>\r\n", "250 ok\r\n"),
                        Cmd("DATA\r\n", "451 later\r\n"), Quit()}),
                  nullptr, "SendMail: 451 later\r\n", "Connect;", kStandardCommands + "QUIT\r\n"},
        ReplyCase{"Data554",
                  Join({Greet(), Helo(), Cmd("RSET\r\n", "250 ok\r\n"),
                        Cmd("MAIL FROM:<me@example.com>\r\n", "250 ok\r\n"),
                        Cmd("RCPT TO:<you@example.com>\r\n", "250 ok\r\n"),
                        Cmd("DATA\r\n", "554 no\r\n"), Quit()}),
                  nullptr, "SendMail: 554 no\r\n", "Connect;", kStandardCommands + "QUIT\r\n"},
        ReplyCase{"EndOfData552",
                  Join({Greet(),
                        Helo(),
                        Cmd("RSET\r\n", "250 ok\r\n"),
                        Cmd("MAIL FROM:<me@example.com>\r\n", "250 ok\r\n"),
                        Cmd("RCPT TO:<you@example.com>\r\n", "250 ok\r\n"),
                        Cmd("DATA\r\n", "354 go\r\n"),
                        {Data(), S("552 too big\r\n")},
                        Quit()}),
                  nullptr, "SendMail: 552 too big\r\n", "Connect;Failure;", kFull},
        ReplyCase{"Quit339Accepted", Join({Greet(), Helo(), Mail(), Cmd("QUIT\r\n", "339 hm\r\n")}),
                  nullptr, "", "Connect;Success;", kFull},
        ReplyCase{"Quit340Fails", Join({Greet(), Helo(), Mail(), Cmd("QUIT\r\n", "340 hm\r\n")}),
                  nullptr, "Disconnect: 340 hm\r\n", "Connect;Success;", kFull}),
    [](const ::testing::TestParamInfo<ReplyCase>& i) { return std::string(i.param.name); });

// The server goes away instead of answering the end of data: an empty reply means a lost
// connection, never an accepted mail. (What QUIT meets afterwards depends on whether the close
// was noticed first: an empty reply or "not connected"; the socket is closed either way.)
TEST(SmtpDialogue, ServerClosingInsteadOfReplyingIsNoSuccess) {
    FakeSmtpServer server(Join({Greet(),
                                Helo(),
                                Cmd("RSET\r\n", "250 ok\r\n"),
                                Cmd("MAIL FROM:<me@example.com>\r\n", "250 ok\r\n"),
                                Cmd("RCPT TO:<you@example.com>\r\n", "250 ok\r\n"),
                                Cmd("DATA\r\n", "354 go\r\n"),
                                {Data(), Close()}}));
    TNMSMTP client;
    PointAt(client, server);
    FillMessage(client.PostMessage);
    bool succeeded = false;
    client.OnSuccess = [&](TObject*) { succeeded = true; };
    client.Connect();
    try {
        client.SendMail();
        ADD_FAILURE() << "SendMail passed";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), "Connection closed by the server");
    }
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(client.PostMessage.ToAddress.Count(), 1);
    try {
        client.Disconnect();
    } catch (const ESockError&) {
    }
    EXPECT_FALSE(client.Connected);
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    EXPECT_EQ(server.Transcript().substr(0, kStandardCommands.size() + StandardData().size()),
              kStandardCommands + StandardData());
}

TEST(SmtpDialogue, SeveralMailsOverOneConnection) {
    FakeSmtpServer server(Join({Greet(), Helo(), Mail(), Mail(), Quit()}));
    std::vector<std::string> successes;
    {
        TNMSMTP client;
        PointAt(client, server);
        client.Connect();
        for (int i = 0; i < 2; ++i) {
            FillMessage(client.PostMessage); // the accepted first mail cleared the recipients
            client.PostMessage.Body.Clear();
            client.PostMessage.Body.Add("hi");
            // An edit of the first mail's header must not survive into the second.
            client.OnSendStart = [&client, i](TObject*) {
                if (i == 0) client.FinalHeader.SetValue("Subject", "Edited");
            };
            client.OnSuccess = [&](TObject*) {
                successes.push_back(client.Busy ? "busy" : "idle");
            };
            client.SendMail();
        }
        client.Disconnect();
    }
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    std::string first = StandardData();
    first.replace(first.find("Subject: Hello"), 14, "Subject: Edited");
    const std::string mail = "RSET\r\nMAIL FROM:<me@example.com>\r\nRCPT TO:<you@example.com>\r\n"
                             "DATA\r\n";
    EXPECT_EQ(server.Transcript(),
              "HELO me\r\n" + mail + first + mail + StandardData() + "QUIT\r\n");
    EXPECT_EQ(successes, (std::vector<std::string>{"idle", "idle"}));
}

TEST(SmtpDialogue, ClearParamsAfterAcceptedMailOnly) {
    for (const bool clear : {true, false}) {
        SCOPED_TRACE(clear);
        FakeSmtpServer server(Join(
            {Greet(), Helo(),
             Envelope("me@example.com", {"you@example.com", "cc@example.com", "bcc@example.com"}),
             Quit()}));
        TNMSMTP client;
        PointAt(client, server);
        client.ClearParams = clear;
        FillMessage(client.PostMessage);
        client.PostMessage.ToCarbonCopy.Add("cc@example.com");
        client.PostMessage.ToBlindCarbonCopy.Add("bcc@example.com");
        client.Connect();
        client.SendMail();
        client.Disconnect();
        const TPostMessage& m = client.PostMessage;
        EXPECT_EQ(m.ToAddress.Count() + m.ToCarbonCopy.Count() + m.ToBlindCarbonCopy.Count(),
                  clear ? 0 : 3);
        EXPECT_EQ(m.Body.Count(), 1);
        EXPECT_EQ(m.Subject, "Hello");
        EXPECT_EQ(m.FromAddress, "me@example.com");
        EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    }
    // A refused mail keeps everything, and OnSuccess is not called.
    FakeSmtpServer server(Join({Greet(), Helo(), Cmd("RSET\r\n", "250 ok\r\n"),
                                Cmd("MAIL FROM:<me@example.com>\r\n", "550 no\r\n"), Quit()}));
    TNMSMTP client;
    PointAt(client, server);
    FillMessage(client.PostMessage);
    bool succeeded = false;
    client.OnSuccess = [&](TObject*) { succeeded = true; };
    client.Connect();
    EXPECT_THROW(client.SendMail(), Exception);
    EXPECT_FALSE(client.Busy);
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(client.PostMessage.ToAddress.Count(), 1);
    client.Disconnect();
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
}

TEST(SmtpDialogue, BusyMakesSendMailAndExpandListNoOps) {
    FakeSmtpServer server(Join({Greet(), Helo(), Mail(), Quit()}));
    int nested = 0;
    std::vector<bool> busyAtConnect;
    {
        TNMSMTP client;
        PointAt(client, server);
        FillMessage(client.PostMessage);
        client.OnConnect = [&](TObject*) { busyAtConnect.push_back(client.Busy); };
        client.Connect();
        // Re-entered from inside a running SendMail, as a handler inside a wait could.
        client.OnSendStart = [&](TObject*) {
            client.SendMail();
            EXPECT_FALSE(client.ExpandList("list"));
            ++nested;
        };
        client.SendMail();
        EXPECT_FALSE(client.Busy);
        // Set from outside: nothing is sent and nothing is raised.
        client.Busy = true;
        client.SendMail();
        EXPECT_FALSE(client.ExpandList("list"));
        EXPECT_TRUE(client.Busy);
        client.Busy = false;
        client.Disconnect();
    }
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(busyAtConnect, std::vector<bool>{false}); // OnConnect runs after Busy is cleared
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    EXPECT_EQ(server.Transcript(), kFull);
}

TEST(SmtpDialogue, ConnectLeavesBusyAsFound) {
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing);
        FakeSmtpServer server(failing ? Join({{S("554 no\r\n")}, Quit()})
                                      : Join({Greet(), Helo(), Quit()}));
        TNMSMTP client;
        PointAt(client, server);
        client.Busy = true;
        if (failing)
            EXPECT_THROW(client.Connect(), Exception);
        else
            client.Connect();
        EXPECT_TRUE(client.Busy);
        client.Busy = false;
        if (!failing) client.Disconnect();
        EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    }
}

TEST(SmtpDialogue, VerifyAndExpandList) {
    FakeSmtpServer server(
        Join({Greet(), Helo(), Cmd("VRFY a\r\n", "250 a@x\r\n"),
              Cmd("VRFY b\r\n", "251 forwarded\r\n"), Cmd("VRFY c\r\n", "252 cannot\r\n"),
              Cmd("EXPN list\r\n", "250-one@x\r\n250-two@x\r\n250 three@x\r\n"),
              Cmd("EXPN nope\r\n", "550 no such list\r\n"),
              Cmd("VRFY d\r\n", "250 still in step\r\n"), Quit()}));
    std::vector<std::string> returned;
    {
        TNMSMTP client;
        PointAt(client, server);
        client.OnMailListReturn = [&](const std::string& a) { returned.push_back(a); };
        client.Connect();
        EXPECT_TRUE(client.Verify("a"));
        EXPECT_TRUE(client.Verify("b"));
        EXPECT_FALSE(client.Verify("c"));
        EXPECT_TRUE(client.ExpandList("list"));
        EXPECT_FALSE(client.Busy);
        EXPECT_FALSE(client.ExpandList("nope"));
        // The continuation lines of EXPN were read: the next reply belongs to the next command.
        EXPECT_TRUE(client.Verify("d"));
        EXPECT_EQ(client.LastReply, "250 still in step\r\n");
        client.Disconnect();
    }
    EXPECT_EQ(returned, std::vector<std::string>{"250-one@x\r\n"});
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
}

TEST(SmtpDialogue, NotConnectedFailsAfterAssembly) {
    TNMSMTP client;
    FillMessage(client.PostMessage);
    try {
        client.SendMail();
        FAIL() << "no exception";
    } catch (const ESockError&) {
        FAIL() << "Not Connected is a plain Exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Not Connected");
    }
    EXPECT_FALSE(client.Busy);
    EXPECT_EQ(client.FinalHeader.Count(), 6); // assembled all the same
    EXPECT_THROW(client.Verify("x"), Exception);
}

// A CR, LF or NUL that would land inside a command line is refused before that command, and
// nothing of the mail transaction reaches the server.
struct RefusalCase {
    const char* name;
    Script script;
    Setup setup;
    std::string phase;    // where EValueRefused comes out
    std::string mentions; // the field the message names
    std::string transcript;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class SmtpRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(SmtpRefusals, NeverSendTheValue) {
    const RefusalCase& c = GetParam();
    FakeSmtpServer server(c.script, Limits{std::chrono::milliseconds(300)});
    std::string events;
    std::string phase = "Connect";
    bool refused = false;
    {
        TNMSMTP client;
        PointAt(client, server);
        FillMessage(client.PostMessage);
        c.setup(client, events);
        try {
            client.Connect();
            phase = "SendMail";
            client.SendMail();
            phase = "Verify";
            client.Verify("x\r\nRSET");
            phase = "none";
        } catch (const EValueRefused& e) {
            refused = true;
            EXPECT_NE(e.Message().find(c.mentions), std::string::npos) << e.Message();
            EXPECT_EQ(e.Message().find_first_of(std::string("\r\n\0", 3)), std::string::npos);
        }
        EXPECT_FALSE(client.Busy);
        if (client.Connected) client.Disconnect();
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(phase, c.phase);
    EXPECT_EQ(server.Transcript(), c.transcript);
}

Setup Set(std::function<void(TNMSMTP&)> F) {
    return [F](TNMSMTP& c, std::string&) { F(c); };
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmtpRefusals,
    ::testing::Values(
        // Refused before a connection is even opened.
        RefusalCase{"HeloName",
                    {},
                    Set([](TNMSMTP& c) { c.UserID = "me\r\nMAIL FROM:<x>"; }),
                    "Connect",
                    "UserID",
                    ""},
        RefusalCase{"HeloNameFromRetryHandler",
                    Join({Greet(), Cmd("HELO me\r\n", "550 who\r\n"), Quit()}), Set([](TNMSMTP& c) {
                        c.OnAuthenticationFailed = [&c](bool& handled) {
                            c.UserID = std::string("me\0x", 4);
                            handled = true;
                        };
                    }),
                    "Connect", "UserID", "HELO me\r\nQUIT\r\n"},
        RefusalCase{"Sender", Join({Greet(), Helo(), Quit()}),
                    Set([](TNMSMTP& c) { c.PostMessage.FromAddress = "me@example.com\r\nRSET"; }),
                    "SendMail", "FromAddress", "HELO me\r\nQUIT\r\n"},
        RefusalCase{"SenderFromSendStartHandler", Join({Greet(), Helo(), Quit()}),
                    Set([](TNMSMTP& c) {
                        c.OnSendStart = [&c](TObject*) { c.PostMessage.FromAddress += "\n"; };
                    }),
                    "SendMail", "FromAddress", "HELO me\r\nQUIT\r\n"},
        RefusalCase{"LaterRecipientInBcc", Join({Greet(), Helo(), Quit()}), Set([](TNMSMTP& c) {
                        c.PostMessage.ToBlindCarbonCopy.Add("Keep <keep\r\nDATA@example.com>");
                    }),
                    "SendMail", "ToBlindCarbonCopy", "HELO me\r\nQUIT\r\n"},
        RefusalCase{"NulInCopyAddress", Join({Greet(), Helo(), Quit()}), Set([](TNMSMTP& c) {
                        c.PostMessage.ToCarbonCopy.Add(std::string("cc@exa\0mple.com", 15));
                    }),
                    "SendMail", "ToCarbonCopy", "HELO me\r\nQUIT\r\n"},
        // Outside the address the entry still goes whole into the To header line.
        RefusalCase{"LineBreakInDisplayName", Join({Greet(), Helo(), Quit()}), Set([](TNMSMTP& c) {
                        c.PostMessage.ToAddress.Clear();
                        c.PostMessage.ToAddress.Add("You\r\n.\r\n <you@example.com>");
                    }),
                    "SendMail", "ToAddress", "HELO me\r\nQUIT\r\n"},
        RefusalCase{"VerifyName", Join({Greet(), Helo(), Mail(), Quit()}), Set([](TNMSMTP&) {}),
                    "Verify", "VRFY", kFull}),
    [](const ::testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

TEST(SmtpAddress, ExtractAddressAndNthWord) {
    struct Row {
        std::string entry, address;
    };
    const Row extract[] = {
        {"you@example.com", "you@example.com"},
        {"You There <you@example.com>", "you@example.com"},
        {"SMTP:you@example.com", "you@example.com"},
        {"SMTP: you@example.com", " you@example.com"}, // nothing is trimmed
        {"<you@example.com> trailing", "you@example.com"},
        {"x <a:b@example.com>", "a:b@example.com"}, // angle brackets win over a colon
        {"open <you@example.com", "you@example.com"},
        {"", ""},
        {"<>", ""},
        {"prefix:", ""},
        {"a:b:c", "b"},
    };
    TNMSMTP client;
    for (const Row& r : extract)
        EXPECT_EQ(client.ExtractAddress(r.entry), r.address) << r.entry;

    struct Word {
        std::string text;
        char delimiter;
        int n;
        std::string field;
    };
    const Word words[] = {
        {"a<b>c", '<', 2, "b>c"}, {"a,,b", ',', 2, ""}, {"a,,b", ',', 3, "b"},
        {"abc", ',', 1, "abc"},   {"abc", ',', 2, ""},  {"", ',', 1, ""},
        {",a", ',', 1, ""},       {",a", ',', 2, "a"},  {"a,b,", ',', 3, ""},
    };
    for (const Word& w : words)
        EXPECT_EQ(NthWord(w.text, w.delimiter, w.n), w.field) << w.text << " " << w.n;
}

} // namespace
} // namespace quillo::test
