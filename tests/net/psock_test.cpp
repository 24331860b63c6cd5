#include "net/Psock.h"
#include "support/FakeSmtpServer.h"

#include <gtest/gtest.h>

using namespace quillo;
using namespace quillo::test;

TEST(Smoke, Greeting) {
    FakeSmtpServer server({S("220 hi\r\n"), C("HELO x\r\n"), S("250 ok\r\n")});
    TPowersock sock;
    sock.Host = "127.0.0.1";
    sock.Port = server.Port();
    sock.Connect();
    EXPECT_EQ(sock.ReadLn(), "220 hi\r\n");
    EXPECT_EQ(sock.Transaction("HELO x"), "250 ok\r\n");
    EXPECT_EQ(sock.ReplyNumber, 250);
    sock.Disconnect();
    EXPECT_EQ(server.Transcript(), "HELO x\r\n");
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
}
