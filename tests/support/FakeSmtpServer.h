// A scripted fake SMTP server for tests: it listens on an ephemeral 127.0.0.1 port, accepts
// one client, plays a script of steps on its own thread and records every byte the client
// sent. Every blocking step has a time limit, so a broken client never hangs a test.
//
//   using namespace quillo::test;
//   FakeSmtpServer server({
//       S("220 mail.example ESMTP\r\n"),  // send bytes (one segment)
//       C("HELO me\r\n"),                  // receive one client line and require it exactly
//       S("250 hello\r\n"),
//       C(),                               // receive one client line, whatever it is
//       S("250 ok\r\n354 go ahead\r\n"),   // several lines in one segment
//       Data(),                            // receive the DATA block up to CR LF . CR LF
//       Split({"25", "0 queued\r\n"}, 50), // one line in several segments, 50 ms apart
//       Pause(100),                        // wait 100 ms
//       Close(),                           // orderly close (or Reset(): linger 0, an RST)
//   });
//   client.Port = server.Port(); ...
//   EXPECT_EQ(server.Transcript(), "HELO me\r\n...");  // joins the server thread first
//   EXPECT_TRUE(server.ScriptDone()) << server.Problems();
//
// After the last step (unless it closed the connection) the server drains: it keeps reading
// until the client closes or the drain limit passes, so a QUIT sent after the script is still
// in the transcript. An empty script is a server that accepts and never says anything.
//
// The results (Transcript, Lines, ScriptDone, Problems) wait for the server thread to end:
// close the client first. The destructor stops the thread at once.
//
// The fixture only needs the port, so a test that starts the program as a separate process
// can use it the same way.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillo::test {

struct Step {
    enum Kind { Send, Expect, ExpectAny, DataBlock, Sleep, SplitSend, CloseConn, ResetConn };
    Kind kind;
    std::string text;               // Send: the bytes; Expect: the exact line
    std::vector<std::string> parts; // SplitSend: the segments
    int ms = 0;                     // Sleep: the pause; SplitSend: the pause between parts
};

// Sends Bytes in one send call.
Step S(std::string Bytes);
// Receives one client line (up to and including LF); with Line, it must equal it exactly.
Step C();
Step C(std::string Line);
// Receives the DATA block up to and including CR LF . CR LF.
Step Data();
// Waits Ms milliseconds.
Step Pause(int Ms);
// Sends Parts one after the other with PauseMs between them.
Step Split(std::vector<std::string> Parts, int PauseMs = 50);
// Closes the connection in order (FIN).
Step Close();
// Closes with linger 0, so the client sees a reset.
Step Reset();

struct Limits {
    std::chrono::milliseconds accept{5000}; // waiting for the client to connect
    std::chrono::milliseconds step{5000};   // one receiving step
    std::chrono::milliseconds drain{3000};  // reading after the script until the client closes
};

class FakeSmtpServer {
public:
    explicit FakeSmtpServer(std::vector<Step> Script, Limits Limits = {});
    ~FakeSmtpServer();
    FakeSmtpServer(const FakeSmtpServer&) = delete;
    FakeSmtpServer& operator=(const FakeSmtpServer&) = delete;

    std::uint16_t Port() const { return port_; }

    // Everything the client sent, byte for byte.
    std::string Transcript();
    // The lines received by C() steps, and the blocks received by Data() steps, in order.
    std::vector<std::string> Lines();
    // True when a client connected and every step was played without a mismatch.
    bool ScriptDone();
    // Mismatches, time-outs and errors, one per line; empty when all went well.
    std::string Problems();
    // True when the client closed its side (the drain or a receive saw the end or a reset).
    bool ClientClosed();
    // True when the client's side ended with a reset instead of an orderly close.
    bool ClientReset();
    // Waits for the server thread to end (bounded by the limits).
    void Join();

private:
    void Run();
    void Problem(const std::string& What);

    std::vector<Step> script_;
    Limits limits_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::string transcript_;
    std::vector<std::string> lines_;
    std::string problems_;
    bool done_ = false;
    bool clientClosed_ = false;
    bool clientReset_ = false;
};

// A loopback port that refuses connections: bound while this object lives, never listening,
// so no other test can take it meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t Port() const { return port_; }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace quillo::test
