// The transport against the scripted fake server on 127.0.0.1.
#include "net/Psock.h"
#include "platform/Pump.h"
#include "support/FakeSmtpServer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace quillo;
using namespace quillo::test;

namespace {

// A name that fails locally and at once: a label longer than 63 bytes is never sent anywhere.
const std::string BadName = std::string(70, 'q') + ".invalid";

class Transport : public ::testing::Test {
protected:
    void TearDown() override { SetProcessMessagesHook(nullptr); }

    // A transport connected to Server by its dotted address.
    static std::unique_ptr<TPowersock> ConnectedTo(FakeSmtpServer& Server) {
        auto sock = std::make_unique<TPowersock>();
        sock->Host = "127.0.0.1";
        sock->Port = Server.Port();
        sock->Connect();
        return sock;
    }

    // Message of the ESockError (or descendant) that F raises; "" when it raises none.
    template <class F> static std::string SockErrorOf(F&& Fn) {
        try {
            Fn();
        } catch (const ESockError& e) {
            return e.Message();
        }
        return "";
    }
};

// A stream that records the size of every read.
class RecordingStream : public TMemoryStream {
public:
    std::vector<std::int32_t> Reads;
    std::int32_t Read(void* Buffer, std::int32_t Count) override {
        Reads.push_back(Count);
        return TMemoryStream::Read(Buffer, Count);
    }
};

} // namespace

// --- Reading lines ---------------------------------------------------------------------

TEST_F(Transport, ReadLnTakesExactlyOneLine) {
    struct Case {
        const char* name;
        std::vector<Step> script;
        std::vector<std::string> lines; // what successive ReadLn calls return
    };
    const std::string big(65535, 'a');
    const std::vector<Case> cases = {
        {"two lines in one segment",
         {S("250-first\r\n250 second\r\n")},
         {"250-first\r\n", "250 second\r\n"}},
        {"LF alone ends a line", {S("250 bare\n220 next\r\n")}, {"250 bare\n", "220 next\r\n"}},
        {"one line in three segments", {Split({"25", "0 sp", "lit\r\n"}, 30)}, {"250 split\r\n"}},
        {"CR inside a line is text", {S("a\rb\r\r\n")}, {"a\rb\r\r\n"}},
        {"last line, then the peer closes", {S("221 bye\r\n"), Close()}, {"221 bye\r\n", ""}},
        {"part of a line, then the peer closes", {S("22"), Pause(50), Close()}, {""}},
        {"a line that fills the work area exactly", {S(big + "\n")}, {big + "\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSmtpServer server(c.script);
        auto sock = ConnectedTo(server);
        for (std::size_t i = 0; i < c.lines.size(); ++i) {
            EXPECT_EQ(sock->ReadLn(), c.lines[i]) << "read " << i + 1;
            // Whatever follows a line stays in the socket until it is read.
            if (i + 1 < c.lines.size() && !c.lines[i + 1].empty()) {
                EXPECT_TRUE(sock->DataAvailable());
            }
        }
        EXPECT_EQ(sock->ReplyNumber, 0) << "ReadLn alone leaves the reply number";
        sock.reset();
        EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    }
}

TEST_F(Transport, LineWithoutLfInWorkAreaIsARangeErrorAndLeavesTheRest) {
    const std::string longLine(70000, 'x');
    FakeSmtpServer server({S(longLine + "\r\n250 ok\r\n")});
    auto sock = ConnectedTo(server);
    EXPECT_THROW(sock->ReadLn(), ERangeError);
    // Only the first 65536 bytes were taken; the rest of the line is still there.
    EXPECT_EQ(sock->ReadLn(), std::string(70000 - 65536, 'x') + "\r\n");
    EXPECT_EQ(sock->ReadLn(), "250 ok\r\n");
}

TEST_F(Transport, TransactionSetsReplyAndNumber) {
    FakeSmtpServer server({S("220 hi\r\n"), C("HELO me\r\n"), S("250 hello\r\n"), C("NOOP\r\n"),
                           S("Hello, I am no reply\r\n"), C("QUIT\r\n"), S("221 bye\r\n"),
                           Close()});
    auto sock = ConnectedTo(server);
    EXPECT_EQ(sock->ReadLn(), "220 hi\r\n");
    EXPECT_EQ(sock->Transaction("HELO me"), "250 hello\r\n");
    EXPECT_EQ(sock->ReplyNumber, 250);
    EXPECT_EQ(sock->LastReply, "250 hello\r\n");
    EXPECT_EQ(sock->Transaction("NOOP"), "Hello, I am no reply\r\n");
    EXPECT_EQ(sock->ReplyNumber, 0);
    EXPECT_EQ(sock->Transaction("QUIT"), "221 bye\r\n");
    EXPECT_EQ(sock->ReplyNumber, 221);

    // The peer has closed: the reply is empty, the number 0, and no reply status is made.
    int statuses = 0;
    sock->ReportLevel = 1;
    sock->OnStatus = [&](TComponent*, const std::string&) { ++statuses; };
    EXPECT_EQ(sock->Transaction("NOOP"), "");
    EXPECT_EQ(sock->ReplyNumber, 0);
    EXPECT_EQ(statuses, 0);
    sock.reset();
    EXPECT_EQ(server.Transcript(), "HELO me\r\nNOOP\r\nQUIT\r\nNOOP\r\n");
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
}

TEST_F(Transport, TransactionRangeErrorForHugeReplyNumber) {
    FakeSmtpServer server({C(), S("99999 what\r\n")});
    auto sock = ConnectedTo(server);
    EXPECT_THROW(sock->Transaction("NOOP"), ERangeError);
    EXPECT_EQ(sock->LastReply, "99999 what\r\n");
}

TEST_F(Transport, PeerCloseDuringWaitReturnsToIdleAndWritesFailWith10057) {
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "close");
        FakeSmtpServer server({S("220 hi\r\n"), Pause(150), reset ? Reset() : Close()});
        auto sock = ConnectedTo(server);
        int disconnects = 0;
        sock->OnDisconnect = [&](TObject*) { ++disconnects; };
        EXPECT_EQ(sock->ReadLn(), "220 hi\r\n");
        // This ReadLn is waiting when the close arrives: nothing is left to read, so the
        // transport closes its socket and carries on with a fresh one.
        EXPECT_EQ(sock->ReadLn(), "");
        EXPECT_FALSE(sock->Connected);
        EXPECT_EQ(disconnects, 1);
        std::vector<int> errors;
        sock->OnError = [&](TComponent*, std::uint16_t Errno, const std::string&) {
            errors.push_back(Errno);
        };
        EXPECT_EQ(SockErrorOf([&] { sock->Transaction("NOOP"); }), "10057:Socket is not connected");
        EXPECT_EQ(errors, std::vector<int>{10057});
        EXPECT_EQ(sock->LastErrorNo, 10057);
    }
}

TEST_F(Transport, WriteToResetPeerIsASocketErrorNotSigpipe) {
    FakeSmtpServer server({S("220 hi\r\n"), C("HELO me\r\n"), Reset()});
    auto sock = ConnectedTo(server);
    EXPECT_EQ(sock->ReadLn(), "220 hi\r\n");
    sock->Writeln("HELO me");
    server.Join(); // the reset has been sent
    std::string error;
    for (int i = 0; i < 100 && error.empty(); ++i) {
        error = SockErrorOf([&] { sock->Writeln("NOOP"); });
        if (error.empty()) ::usleep(5000);
    }
    EXPECT_EQ(error, "10054:Connection reset by peer");
    EXPECT_TRUE(sock->Connected) << "an error never closes the connection";
}

// --- Connecting ------------------------------------------------------------------------

TEST_F(Transport, ConnectResolvesOrNot) {
    struct Case {
        const char* name;
        std::string host;
        bool lookedUp;
    };
    const Case cases[] = {
        {"dotted address", "127.0.0.1", false},
        {"short dotted form", "127.1", false},
        {"name", "localhost", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSmtpServer server({S("220 hi\r\n")});
        TPowersock sock;
        int resolved = 0, connected = 0;
        sock.OnHostResolved = [&](TComponent* Sender) {
            EXPECT_EQ(Sender, &sock);
            ++resolved;
        };
        sock.OnConnect = [&](TObject*) { ++connected; };
        sock.Host = c.host;
        sock.Port = server.Port() + 65536; // only the low 16 bits count
        sock.Connect();
        EXPECT_TRUE(sock.Connected);
        EXPECT_TRUE(sock.LastEventOk);
        EXPECT_EQ(resolved, c.lookedUp ? 1 : 0);
        EXPECT_EQ(connected, 1);
        EXPECT_EQ(sock.ReadLn(), "220 hi\r\n");
    }
}

TEST_F(Transport, AllOnesAddressIsLookedUpAsAName) {
    TPowersock sock;
    int resolved = 0;
    sock.OnHostResolved = [&](TComponent*) { ++resolved; };
    sock.Host = "255.255.255.255";
    sock.Port = 25;
    // The resolver takes it as a number; the connect to broadcast then fails either way.
    EXPECT_THROW(sock.Connect(), ESockError);
    EXPECT_EQ(resolved, 1);
    EXPECT_FALSE(sock.Connected);
}

TEST_F(Transport, NullRemoteAddressAndTheOneRetry) {
    FakeSmtpServer server({S("220 hi\r\n")});
    struct Case {
        const char* name;
        std::string host;
        bool handler;
        std::string newHost; // the handler sets Host to this
        bool handled;
        int calls;
        bool connects;
    };
    const std::string good = "127.0.0.1";
    const Case cases[] = {
        {"empty host, no handler", "", false, "", false, 0, false},
        {"bad name, no handler", BadName, false, "", false, 0, false},
        {"0.0.0.0 is no address", "0.0.0.0", false, "", false, 0, false},
        {"handler does not handle", "", true, good, false, 1, false},
        {"handler repairs the host", BadName, true, good, true, 1, true},
        {"handler repairs with a name", "", true, "localhost", true, 1, true},
        {"second resolution fails too", "", true, BadName, true, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TPowersock sock;
        sock.Host = c.host;
        sock.Port = server.Port();
        int calls = 0;
        if (c.handler)
            sock.OnInvalidHost = [&](bool& Handled) {
                ++calls;
                sock.Host = c.newHost;
                Handled = c.handled;
            };
        std::string error = SockErrorOf([&] { sock.Connect(); });
        EXPECT_EQ(calls, c.calls);
        if (c.connects) {
            EXPECT_EQ(error, "");
            EXPECT_TRUE(sock.Connected);
        } else {
            EXPECT_EQ(error, "Null Remote Address");
            EXPECT_FALSE(sock.Connected);
        }
    }
}

TEST_F(Transport, AlreadyConnectedLeavesTheConnectionAlone) {
    FakeSmtpServer server({C("NOOP\r\n"), S("250 still here\r\n")});
    auto sock = ConnectedTo(server);
    EXPECT_EQ(SockErrorOf([&] { sock->Connect(); }), "Already connected");
    EXPECT_TRUE(sock->Connected);
    EXPECT_EQ(sock->Transaction("NOOP"), "250 still here\r\n");
}

TEST_F(Transport, RefusedConnectionCallsOnConnectionFailedThenRaises) {
    RefusingPort port;
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = port.Port();
    std::vector<std::string> events;
    sock.OnConnectionFailed = [&](TObject* Sender) {
        EXPECT_EQ(Sender, &sock);
        events.push_back("failed");
    };
    sock.OnConnect = [&](TObject*) { events.push_back("connect"); };
    EXPECT_EQ(SockErrorOf([&] { sock.Connect(); }), "Connection Failed");
    EXPECT_EQ(events, std::vector<std::string>{"failed"});
    EXPECT_FALSE(sock.Connected);
    EXPECT_FALSE(sock.LastEventOk);

    // The same transport connects once a server is there.
    FakeSmtpServer server({S("220 hi\r\n")});
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "220 hi\r\n");
}

// --- Time-out and cancellation ---------------------------------------------------------

TEST_F(Transport, TimeOutEndsReadLnWithAbortAndSparesTheProcessor) {
    FakeSmtpServer server({}); // accepts and says nothing
    auto sock = ConnectedTo(server);
    sock->TimeOut = 300;
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    try {
        sock->ReadLn();
        ADD_FAILURE() << "no exception";
    } catch (const EAbortError& e) {
        EXPECT_EQ(e.Message(), "Socket readln aborted");
    }
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_TRUE(sock->TimedOut);
    EXPECT_FALSE(sock->Canceled) << "the failed read clears the request";
    EXPECT_TRUE(sock->Connected);
    // A waiting read blocks; spinning would burn about the whole time-out.
    auto cpuMs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    EXPECT_LT(cpuMs(after) - cpuMs(before), 150);

    sock->TimeOut = -1;
    EXPECT_THROW(sock->ReadLn(), ERangeError);
}

TEST_F(Transport, CancelEndsEveryWaitAndTransfer) {
    FakeSmtpServer server({C("after\r\n")});
    auto sock = ConnectedTo(server);

    // A request made before a transfer ends it at once, and is then cleared.
    sock->Cancel();
    EXPECT_THROW(sock->Writeln("never"), EAbortError);
    EXPECT_FALSE(sock->Canceled);
    sock->Abort();
    EXPECT_EQ(SockErrorOf([&] { sock->ReadLn(); }), "Socket readln aborted");
    TMemoryStream stream;
    stream.Write("data", 4);
    sock->Cancel();
    EXPECT_EQ(SockErrorOf([&] { sock->SendStream(stream); }), "Socket send aborted");
    EXPECT_FALSE(sock->Canceled);

    // A cancel from the message pump ends a read that waits for a silent server.
    int pumped = 0;
    SetProcessMessagesHook([&] {
        if (++pumped == 3) sock->Cancel();
    });
    EXPECT_EQ(SockErrorOf([&] { sock->ReadLn(); }), "Socket readln aborted");
    EXPECT_FALSE(sock->TimedOut);
    EXPECT_GE(pumped, 3);
    SetProcessMessagesHook(nullptr);

    sock->Writeln("after");
    sock.reset();
    EXPECT_EQ(server.Transcript(), "after\r\n");
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
}

TEST_F(Transport, ConnectTimesOutWhenNoAnswerComes) {
    // A listener whose queue is full drops further connection requests unanswered.
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    std::vector<std::unique_ptr<TPowersock>> fillers;
    std::string error;
    int failed = 0;
    // Fill the queue; the first transport that cannot get in shows the time-out.
    for (int i = 0; i < 8 && error.empty(); ++i) {
        auto sock = std::make_unique<TPowersock>();
        sock->Host = "127.0.0.1";
        sock->Port = ntohs(addr.sin_port);
        sock->TimeOut = 200;
        sock->OnConnectionFailed = [&](TObject*) { ++failed; };
        error = SockErrorOf([&] { sock->Connect(); });
        if (!error.empty()) {
            EXPECT_TRUE(sock->TimedOut);
            EXPECT_FALSE(sock->Connected);
        }
        fillers.push_back(std::move(sock));
    }
    ::close(listener);
    EXPECT_EQ(error, "Connection Timed out");
    EXPECT_EQ(failed, 1);
}

TEST_F(Transport, TimeOutOrCancelEndsASendThatCannotGoOn) {
    for (bool stream : {false, true}) {
        SCOPED_TRACE(stream ? "SendStream, cancelled from the pump" : "Write, timed out");
        FakeSmtpServer server({Pause(10000)}); // never reads
        auto sock = ConnectedTo(server);
        TMemoryStream block;
        block.SetSize(1 << 20);
        std::string error;
        if (stream) {
            int pumped = 0;
            SetProcessMessagesHook([&] {
                if (++pumped == 200) sock->Cancel();
            });
            for (int i = 0; i < 200 && error.empty(); ++i)
                error = SockErrorOf([&] { sock->SendStream(block); });
            SetProcessMessagesHook(nullptr);
        } else {
            sock->TimeOut = 200;
            const std::string text(65535, 't');
            for (int i = 0; i < 2000 && error.empty(); ++i)
                error = SockErrorOf([&] { sock->Write(text); });
            EXPECT_TRUE(sock->TimedOut);
        }
        EXPECT_EQ(error, "Socket send aborted");
        EXPECT_FALSE(sock->Canceled);
    }
}

TEST_F(Transport, CancelDuringLookupAndConnectWaits) {
    FakeSmtpServer server({});
    struct Case {
        const char* host;
        const char* message;
        bool failedEvent;
    };
    const Case cases[] = {
        {"localhost", "Host Lookup Canceled", false},
        {"127.0.0.1", "Connection Canceled", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        TPowersock sock;
        sock.Host = c.host;
        sock.Port = server.Port();
        int failed = 0;
        sock.OnConnectionFailed = [&](TObject*) { ++failed; };
        SetProcessMessagesHook([&] { sock.Cancel(); });
        EXPECT_EQ(SockErrorOf([&] { sock.Connect(); }), c.message);
        SetProcessMessagesHook(nullptr);
        EXPECT_EQ(failed, c.failedEvent ? 1 : 0);
        EXPECT_TRUE(sock.Canceled) << "stays set until the next Connect or transfer";
        EXPECT_THROW(sock.Writeln("x"), EAbortError);
    }
}

// --- Closing ---------------------------------------------------------------------------

TEST_F(Transport, DisconnectTwiceAndTheFirstConnectionEndsWithAReset) {
    FakeSmtpServer first({S("220 one\r\n")});
    FakeSmtpServer second({S("220 two\r\n")});
    TPowersock sock;
    int disconnects = 0;
    sock.OnDisconnect = [&](TObject* Sender) {
        EXPECT_EQ(Sender, &sock);
        ++disconnects;
    };
    sock.Host = "127.0.0.1";
    sock.Port = first.Port();
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "220 one\r\n");
    sock.Disconnect();
    EXPECT_FALSE(sock.Connected);
    sock.Disconnect();
    EXPECT_EQ(disconnects, 2);
    EXPECT_TRUE(first.ClientReset()) << "the first socket closes with linger 0";

    // Each close left a fresh socket; the next connection ends in order.
    sock.Port = second.Port();
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "220 two\r\n");
    sock.Disconnect();
    EXPECT_EQ(disconnects, 3);
    EXPECT_TRUE(second.ClientClosed());
    EXPECT_FALSE(second.ClientReset());

    // Destruction closes without calling OnDisconnect.
    FakeSmtpServer third({S("220 three\r\n")});
    {
        TPowersock last;
        last.OnDisconnect = [&](TObject*) { ++disconnects; };
        last.Host = "127.0.0.1";
        last.Port = third.Port();
        last.Connect();
        EXPECT_EQ(last.ReadLn(), "220 three\r\n");
    }
    EXPECT_EQ(disconnects, 3);
    EXPECT_TRUE(third.ClientReset());
}

TEST_F(Transport, CertifyConnect) {
    FakeSmtpServer server({});
    struct Case {
        const char* name;
        bool handler;
        bool connect; // the handler connects
        bool handled;
        bool passes;
    };
    const Case cases[] = {
        {"no handler", false, false, false, false},
        {"handler connects", true, true, true, true},
        {"handler connects but does not say so", true, true, false, false},
        {"handled but not connected", true, false, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TPowersock sock;
        sock.Host = "127.0.0.1";
        sock.Port = server.Port();
        int calls = 0;
        if (c.handler)
            sock.OnConnectionRequired = [&](bool& Handled) {
                ++calls;
                if (c.connect) sock.Connect();
                Handled = c.handled;
            };
        bool sockError = false;
        std::string message;
        try {
            sock.CertifyConnect();
        } catch (const ESockError&) {
            sockError = true;
        } catch (const Exception& e) {
            message = e.Message();
        }
        EXPECT_FALSE(sockError) << "a plain Exception, not ESockError";
        EXPECT_EQ(message, c.passes ? "" : "Not Connected");
        EXPECT_EQ(calls, c.handler ? 1 : 0);
    }
}

// --- Writing ---------------------------------------------------------------------------

TEST_F(Transport, WriteStopsAtZeroByteAndRefusesOverlongText) {
    FakeSmtpServer server({Data(), S("250 ok\r\n")});
    auto sock = ConnectedTo(server);
    sock->Write(std::string("AB\0CD", 5));
    sock->Write(std::string(65535, 'w'));
    EXPECT_THROW(sock->Write(std::string(65536, 'y')), ERangeError);
    EXPECT_THROW(sock->Write(std::string(70000, 'z')), ERangeError);
    sock->Write(std::string(70000, 'v').replace(10, 1, 1, '\0')); // the zero byte comes first
    sock->SendBuffer("\r\n.\r\nnot this", 5);
    // The reply shows that everything sent has arrived.
    EXPECT_EQ(sock->ReadLn(), "250 ok\r\n");
    sock.reset();
    const std::string expected = "AB" + std::string(65535, 'w') + "vvvvvvvvvv\r\n.\r\n";
    EXPECT_TRUE(server.Transcript() == expected)
        << "lengths " << server.Transcript().size() << " and " << expected.size();
}

// A plain memory stream goes out straight from its memory, any other stream through
// WorkArea; both in the same blocks, seen here as the positions the stream stands at when
// each packet has gone.
TEST_F(Transport, SendStreamInBlocks) {
    struct Case {
        const char* name;
        std::int32_t size;
        std::vector<std::int32_t> reads;
    };
    const Case cases[] = {
        {"empty", 0, {0}},
        {"one short block", 1000, {1000}},
        {"two blocks and the rest", 2 * 65536 + 1000, {65536, 65536, 1000}},
    };
    for (const Case& c : cases) {
        for (bool plain : {false, true}) {
            SCOPED_TRACE(std::string(c.name) +
                         (plain ? ", plain memory stream" : ", through reads"));
            // The content ends like a mail body, so that the server can reply once it has all.
            std::string content;
            for (std::int32_t i = 0; i + 5 < c.size; ++i)
                content += static_cast<char>('A' + i % 26);
            if (c.size > 0) content += "\r\n.\r\n";
            FakeSmtpServer server(c.size > 0 ? std::vector<Step>{Data(), S("250 ok\r\n")}
                                             : std::vector<Step>{});
            auto sock = ConnectedTo(server);
            RecordingStream recording;
            TMemoryStream memory;
            TMemoryStream& stream = plain ? memory : recording;
            stream.Write(content.data(), c.size); // the position is left at the end
            int packets = 0;
            std::vector<std::int32_t> blockEnds;
            sock->OnPacketSent = [&](TObject*) {
                ++packets;
                const auto at = static_cast<std::int32_t>(stream.GetPosition());
                if (blockEnds.empty() || blockEnds.back() != at) blockEnds.push_back(at);
            };
            sock->SendStream(stream);
            if (!plain) {
                EXPECT_EQ(recording.Reads, c.reads);
            }
            std::vector<std::int32_t> expectedEnds;
            for (std::int32_t n = 0; std::int32_t r : c.reads)
                if (r > 0) expectedEnds.push_back(n += r);
            EXPECT_EQ(blockEnds, expectedEnds);
            EXPECT_EQ(stream.GetPosition(), c.size);
            EXPECT_EQ(sock->BytesSent, c.size);
            EXPECT_EQ(sock->BytesTotal, c.size);
            EXPECT_GE(packets, c.size == 0 ? 0 : static_cast<int>(c.reads.size()));
            if (c.size > 0) {
                EXPECT_EQ(sock->ReadLn(), "250 ok\r\n");
            }
            sock.reset();
            EXPECT_TRUE(server.Transcript() == content)
                << "lengths " << server.Transcript().size() << " and " << content.size();
        }
    }
}

// A handler that empties the stream while it is being sent straight from its memory must
// not make the transport send from memory that is gone: the send ends early, quietly.
TEST_F(Transport, SendStreamOfAMemoryStreamEmptiedOnTheWay) {
    FakeSmtpServer server({});
    auto sock = ConnectedTo(server);
    TMemoryStream stream;
    const std::string content(3 * 65536, 'm');
    stream.Write(content.data(), static_cast<std::int32_t>(content.size()));
    int packets = 0;
    sock->OnPacketSent = [&](TObject*) {
        if (++packets == 1) stream.Clear();
    };
    sock->SendStream(stream);
    EXPECT_EQ(packets, 1);
    EXPECT_LE(sock->BytesSent, 65536);
    const int sent = sock->BytesSent;
    sock.reset();
    EXPECT_EQ(server.Transcript(), content.substr(0, static_cast<std::size_t>(sent)));
}

// --- Status reports ------------------------------------------------------------------

TEST_F(Transport, StatusesPerReportLevel) {
    struct Case {
        int level;
        std::vector<std::string> statuses;
    };
    const Case cases[] = {
        {0, {}},
        {1, {"250 ok\r\n"}},
        {4, {"Sending Buffer", "250 ok\r\n", "Request Close Socket"}},
        {8,
         {"Transaction", "Writeln", "Write", "Sending Buffer", "Timer On", "Timer Off", "ReadLn",
          "Timer On", "Timer Off", "250 ok\r\n", "Disconnecting", "Request Close Socket"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.level);
        FakeSmtpServer server({C("NOOP\r\n"), S("250 ok\r\n")});
        auto sock = ConnectedTo(server);
        std::vector<std::string> statuses;
        sock->ReportLevel = c.level;
        sock->OnStatus = [&](TComponent* Sender, const std::string& Status) {
            EXPECT_EQ(Sender, sock.get());
            statuses.push_back(Status);
        };
        sock->Transaction("NOOP");
        sock->Disconnect();
        EXPECT_EQ(statuses, c.statuses);
        EXPECT_EQ(sock->LastStatus, c.statuses.empty() ? "" : c.statuses.back());
        // Nothing is reported while the transport is destroyed.
        statuses.clear();
        sock.reset();
        EXPECT_TRUE(statuses.empty());
    }
}

TEST_F(Transport, ConnectStatusesAtLevel8) {
    FakeSmtpServer server({});
    for (const std::string host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        TPowersock sock;
        sock.ReportLevel = 8;
        std::vector<std::string> statuses;
        sock.OnStatus = [&](TComponent*, const std::string& Status) { statuses.push_back(Status); };
        sock.Host = host;
        sock.Port = server.Port();
        sock.Connect();
        std::vector<std::string> expected = {"Connecting", "Resolve Host"};
        if (host == "localhost") expected.insert(expected.end(), {"Timer On", "Timer Off"});
        expected.insert(expected.end(), {"Timer On", "Timer Off"});
        EXPECT_EQ(statuses, expected);
        sock.Disconnect();
        if (host == "127.0.0.1") continue;
        // The time-out at work: the tick, the timer stopped, the abort.
        statuses.clear();
        FakeSmtpServer silent({});
        sock.Port = silent.Port();
        sock.TimeOut = 50;
        sock.Host = "127.0.0.1";
        sock.Connect();
        statuses.clear();
        EXPECT_THROW(sock.ReadLn(), EAbortError);
        EXPECT_EQ(statuses,
                  (std::vector<std::string>{"ReadLn", "Timer On", "Timer Triggered", "Timer Off",
                                            "Abort", "Canceling", "Timer Off"}));
    }
}

TEST_F(Transport, ThrowingStatusHandlerDisturbsNothing) {
    FakeSmtpServer server({C("NOOP\r\n"), S("250 ok\r\n")});
    TPowersock sock;
    int calls = 0;
    sock.ReportLevel = 8;
    sock.OnStatus = [&](TComponent*, const std::string&) {
        ++calls;
        throw ESockError("from the handler");
    };
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_EQ(sock.Transaction("NOOP"), "250 ok\r\n");
    EXPECT_EQ(sock.ReplyNumber, 250);
    EXPECT_EQ(sock.LastStatus, "250 ok\r\n");
    EXPECT_GT(calls, 10);
}

// --- Life cycle ------------------------------------------------------------------------

TEST_F(Transport, InstanceCount) {
    const int start = TPowersock::InstanceCount;
    {
        TPowersock a, b;
        EXPECT_EQ(TPowersock::InstanceCount, start + 2);
    }
    EXPECT_EQ(TPowersock::InstanceCount, start);
}

TEST_F(Transport, FailedInitialisation) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks need descriptors, which this test takes away.
    GTEST_SKIP() << "not under the sanitizers";
#endif
    const int start = TPowersock::InstanceCount;
    // With no descriptor left, no socket can be made.
    rlimit old{};
    ::getrlimit(RLIMIT_NOFILE, &old);
    rlimit low = old;
    low.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fds;
    for (int fd; (fd = ::dup(0)) >= 0;)
        fds.push_back(fd);
    std::string error = SockErrorOf([] { TPowersock sock; });
    for (int fd : fds)
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(error, "Initializaton of windows sockets failed");
    EXPECT_EQ(TPowersock::InstanceCount, start);
}

TEST(FakeServer, FlagsAMismatchAndAnUnplayedScript) {
    FakeSmtpServer server({C("HELO a\r\n"), S("250 ok\r\n"), C("QUIT\r\n")},
                          Limits{std::chrono::milliseconds(2000), std::chrono::milliseconds(300),
                                 std::chrono::milliseconds(300)});
    {
        TPowersock sock;
        sock.Host = "127.0.0.1";
        sock.Port = server.Port();
        sock.Connect();
        EXPECT_EQ(sock.Transaction("HELO b"), "250 ok\r\n");
        server.Join(); // the QUIT step times out
    }
    EXPECT_FALSE(server.ScriptDone());
    EXPECT_NE(server.Problems().find("expected \"HELO a\\r\\n\", got \"HELO b\\r\\n\""),
              std::string::npos)
        << server.Problems();
    EXPECT_NE(server.Problems().find("timed out"), std::string::npos);
    EXPECT_EQ(server.Lines(), std::vector<std::string>{"HELO b\r\n"});
}
