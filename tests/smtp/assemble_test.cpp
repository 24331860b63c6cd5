// Assembly of the header lines and the text body.
#include "smtp/Nmsmtp.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace quillo {
namespace {

std::string BodyOf(TNMSMTP& Client) {
    return std::string(Client.BodyStream.Memory(),
                       static_cast<std::size_t>(Client.BodyStream.Size()));
}

TEST(AssembleMail, HeaderLinesInOrder) {
    struct Case {
        const char* name;
        std::function<void(TNMSMTP&)> fill;
        std::string header;
    };
    const Case cases[] = {
        {"sender only", [](TNMSMTP& c) { c.PostMessage.FromAddress = "me@example.com"; },
         "From: <me@example.com>\r\nMime-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n"},
        {"every field",
         [](TNMSMTP& c) {
             TPostMessage& m = c.PostMessage;
             m.FromName = "Me ";
             m.FromAddress = "me@example.com";
             m.ToAddress.Add("a@example.com");
             m.ToAddress.Add("B <b@example.com>");
             m.ToCarbonCopy.Add("c@example.com");
             m.ToBlindCarbonCopy.Add("hidden@example.com");
             m.Subject = "Hi";
             m.LocalProgram = "Quillo";
             m.ReplyTo = "r@example.com";
             m.Date = "Thu, 11 Dec 2026 09:05:03 +0900";
             c.Charset = "iso-2022-jp";
         },
         "From: Me <me@example.com>\r\nTo: a@example.com,B <b@example.com>\r\n"
         "CC: c@example.com\r\nSubject: Hi\r\nX-Mailer: Quillo\r\nReply-To: r@example.com\r\n"
         "Date: Thu, 11 Dec 2026 09:05:03 +0900\r\nMime-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=iso-2022-jp\r\n"},
        {"copies without primary recipients",
         [](TNMSMTP& c) { c.PostMessage.ToCarbonCopy.Add("c@example.com"); },
         "From: <>\r\nCC: c@example.com\r\nMime-Version: 1.0\r\n"
         "Content-Type: text/plain; charset=us-ascii\r\n"},
    };
    for (const Case& c : cases) {
        TNMSMTP client;
        c.fill(client);
        client.AssembleMail();
        EXPECT_EQ(client.FinalHeader.Text(), c.header) << c.name;
    }
}

TEST(AssembleMail, ContentLineBySubType) {
    const std::pair<TSubType, const char*> cases[] = {
        {mtPlain, "text/plain"}, {mtEnriched, "text/enriched"},
        {mtSgml, "text/sgml"},   {mtTabSeperated, "text/tab-separated-values"},
        {mtHtml, "text/html"},   {static_cast<TSubType>(9), "text/plain"},
    };
    for (const auto& [type, text] : cases) {
        TNMSMTP client;
        client.SubType = type;
        client.Charset = "utf-8";
        client.AssembleMail();
        EXPECT_EQ(client.FinalHeader[client.FinalHeader.Count() - 1],
                  std::string("Content-Type: ") + text + "; charset=utf-8");
    }
}

TEST(AssembleMail, BodyLinesWithLeadingDotDoubled) {
    TNMSMTP client;
    for (const char* line : {"", ".", ".x", "a.b", "..", "last"})
        client.PostMessage.Body.Add(line);
    client.AssembleMail();
    EXPECT_EQ(BodyOf(client), "\r\n..\r\n..x\r\na.b\r\n...\r\nlast\r\n");

    // Reassembly starts afresh, and an empty body leaves the stream empty.
    client.PostMessage.Body.Clear();
    client.AssembleMail();
    EXPECT_EQ(client.BodyStream.Size(), 0);
}

TEST(PostMessage, SetLinesCopies) {
    TPostMessage m;
    TStringList mine;
    mine.Add("one");
    mine.Add("two");
    m.SetLinesTo(mine);
    m.SetLinesCC(mine);
    m.SetLinesBCC(mine);
    m.SetLinesBody(mine);
    m.SetLinesAttachments(mine);
    mine.Add("three");
    for (const TStringList* l :
         {&m.ToAddress, &m.ToCarbonCopy, &m.ToBlindCarbonCopy, &m.Body, &m.Attachments})
        EXPECT_EQ(l->Text(), "one\r\ntwo\r\n");
    EXPECT_EQ(mine.Count(), 3);
}

TEST(NMSMTP, InitialValues) {
    TNMSMTP client;
    EXPECT_EQ(client.Charset, "us-ascii");
    EXPECT_EQ(client.Port, 25);
    EXPECT_FALSE(client.Busy);
    EXPECT_TRUE(client.ClearParams);
    EXPECT_EQ(client.SubType, mtPlain);
    EXPECT_EQ(client.EncodeType, uuMime);
    EXPECT_EQ(client.UserID, "");
    EXPECT_EQ(client.Boundary, "");
    EXPECT_EQ(client.FinalHeader.Count(), 0);
    EXPECT_EQ(client.BodyStream.Size(), 0);
    EXPECT_FALSE(client.OnConnect || client.OnSendStart || client.OnSuccess || client.OnFailure ||
                 client.OnHeaderIncomplete);
    EXPECT_EQ(static_cast<int>(mtTabSeperated), 3);
    EXPECT_EQ(static_cast<int>(uuCode), 1);
}

} // namespace
} // namespace quillo
