#include "app/ExitStatus.h"
#include "net/Psock.h"
#include "smtp/Nmsmtp.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

namespace quillo {
namespace {

TEST(ExitStatus, WhereTheRunFailed) {
    struct Case {
        const char* Name;
        TRunStep Step;
        std::function<std::exception*()> Make;
        int ReplyNumber;
        int Expected;
    } cases[] = {
        {"attachment missing", TRunStep::Attachment, [] { return new Exception(""); }, 0, 66},
        {"body file", TRunStep::BodyFile, [] { return new EFOpenError("x"); }, 0, 66},
        {"connect: HELO name refused locally", TRunStep::Connect,
         [] { return new EValueRefused("HELO name holds a line break"); }, 0, 65},
        {"connect: greeting 554", TRunStep::Connect,
         [] { return new Exception("554 go away\r\n"); }, 554, 69},
        {"connect: greeting 421", TRunStep::Connect, [] { return new Exception("421 busy\r\n"); },
         421, 75},
        {"connect: HELO 550", TRunStep::Connect,
         [] { return new Exception("Authentication failed"); }, 550, 69},
        {"connect: HELO 451", TRunStep::Connect,
         [] { return new Exception("Authentication failed"); }, 451, 75},
        {"connect: refused", TRunStep::Connect,
         [] { return new ESockError("10061:Connection refused"); }, 0, 75},
        {"connect: timed out", TRunStep::Connect,
         [] { return new EAbortError("Socket readln aborted"); }, 0, 75},
        {"send: no sender", TRunStep::SendMail, [] { return new Exception("Incomplete Header"); },
         0, 78},
        {"send: attachment unreadable", TRunStep::SendMail, [] { return new EFOpenError("x"); }, 0,
         66},
        {"send: address refused locally", TRunStep::SendMail,
         [] { return new EValueRefused("recipient holds a line break"); }, 0, 65},
        {"send: MAIL FROM 553", TRunStep::SendMail,
         [] { return new Exception("553 no such sender\r\n"); }, 553, 69},
        {"send: DATA 452", TRunStep::SendMail, [] { return new Exception("452 no room\r\n"); }, 452,
         75},
        {"send: not connected", TRunStep::SendMail, [] { return new Exception("Not Connected"); },
         0, 75},
        {"send: connection reset", TRunStep::SendMail,
         [] { return new ESockError("10054:Connection reset by peer"); }, 0, 75},
        {"disconnect: QUIT refused", TRunStep::Disconnect,
         [] { return new Exception("554 no\r\n"); }, 554, 76},
        {"disconnect: reset", TRunStep::Disconnect,
         [] { return new ESockError("10054:Connection reset by peer"); }, 0, 76},
        {"unexpected failure while sending", TRunStep::SendMail,
         [] { return new std::runtime_error("?"); }, 0, 75},
    };
    for (const auto& c : cases) {
        const std::unique_ptr<std::exception> e(c.Make());
        EXPECT_EQ(ExitStatusFor(c.Step, *e, c.ReplyNumber), c.Expected) << c.Name;
    }
}

TEST(ExitStatus, SetupSessions) {
    EXPECT_EQ(SetupExitStatus(0, true), 0);
    EXPECT_EQ(SetupExitStatus(0, false), 0);
    EXPECT_EQ(SetupExitStatus(2, true), 64);
    EXPECT_EQ(SetupExitStatus(5, false), 64);
    EXPECT_EQ(SetupExitStatus(3, false), 78);
    EXPECT_EQ(SetupExitStatus(4, false), 78);
}

} // namespace
} // namespace quillo
