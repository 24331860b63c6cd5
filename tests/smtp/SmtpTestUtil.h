// Shared pieces of the SMTP client tests: a client pointed at a fake server, a standard
// message and the server steps of a standard dialogue.
#pragma once

#include "smtp/Nmsmtp.h"
#include "support/FakeSmtpServer.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace quillo::test {

// Bounded waits: a broken client ends a test in seconds, never hangs it.
inline void PointAt(TNMSMTP& Client, FakeSmtpServer& Server) {
    Client.Host = "127.0.0.1";
    Client.Port = Server.Port();
    Client.UserID = "me";
    Client.TimeOut = 5000;
}

inline void FillMessage(TPostMessage& M) {
    M.FromName = "Me";
    M.FromAddress = "me@example.com";
    M.ToAddress.Add("you@example.com");
    M.Subject = "Hello";
    M.LocalProgram = "Quillo";
    M.Body.Add("hi");
}

// The header block and body of the standard message as they go out after DATA.
inline std::string StandardData() {
    return "From: Me<me@example.com>\r\n"
           "To: you@example.com\r\n"
           "Subject: Hello\r\n"
           "X-Mailer: Quillo\r\n"
           "Mime-Version: 1.0\r\n"
           "Content-Type: text/plain; charset=us-ascii\r\n"
           "\r\n"
           "\r\n"
           "hi\r\n"
           ".\r\n";
}

using Script = std::vector<Step>;

inline Script Join(std::initializer_list<Script> Pieces) {
    Script out;
    for (const Script& p : Pieces)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One client command line and the server's reply.
inline Script Cmd(std::string Line, std::string Reply) {
    return {C(std::move(Line)), S(std::move(Reply))};
}

inline Script Greet() {
    return {S("220 fake ESMTP\r\n")};
}
inline Script Helo() {
    return Cmd("HELO me\r\n", "250 fake\r\n");
}
inline Script Quit() {
    return Cmd("QUIT\r\n", "221 bye\r\n");
}
// The standard message accepted, from RSET to the end of data.
inline Script Mail() {
    return Join({Cmd("RSET\r\n", "250 reset\r\n"),
                 Cmd("MAIL FROM:<me@example.com>\r\n", "250 sender ok\r\n"),
                 Cmd("RCPT TO:<you@example.com>\r\n", "250 recipient ok\r\n"),
                 Cmd("DATA\r\n", "354 go ahead\r\n"),
                 {Data(), S("250 queued\r\n")}});
}

inline std::string Concat(const std::vector<std::string>& Lines) {
    std::string out;
    for (const auto& l : Lines)
        out += l;
    return out;
}

} // namespace quillo::test
