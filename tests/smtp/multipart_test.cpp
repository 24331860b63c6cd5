// Multipart messages: the boundary, the text part and the attachment parts.
#include "SmtpTestUtil.h"
#include "support/TempDir.h"
#include "codec/Nms_stream.h"
#include "codec/Nmuue.h"
#include "platform/CodePage.h"
#include "platform/FileStream.h"
#include "platform/Random.h"

#include <gtest/gtest.h>
#include <string>

namespace quillo::test {
namespace {

std::string BodyOf(TNMSMTP& Client) {
    return std::string(Client.BodyStream.Memory(),
                       static_cast<std::size_t>(Client.BodyStream.Size()));
}

const std::string kFirstBoundary = "====================54535aavfgq====";
const std::string kSecondBoundary = "====================54535hejkcl====";

TEST(Multipart, WorkedExampleOnTheWire) {
    TempDir dir;
    const std::string path = dir.Write("sub/hello.txt", "Hello, world!\n");
    // The text part says text/plain whatever SubType is.
    for (const TSubType type : {mtPlain, mtHtml}) {
        SCOPED_TRACE(type);
        ResetRandom();
        FakeSmtpServer server(Join({Greet(), Helo(), Mail(), Quit()}));
        std::string events;
        {
            TNMSMTP client;
            PointAt(client, server);
            client.SubType = type;
            FillMessage(client.PostMessage);
            client.PostMessage.Body.Clear();
            client.PostMessage.Body.Add("first line");
            client.PostMessage.Body.Add(".second line");
            client.PostMessage.Attachments.Add(path);
            client.OnEncodeStart = [&](const std::string& f) { events += "Start(" + f + ");"; };
            client.OnEncodeEnd = [&](const std::string& f) { events += "End(" + f + ");"; };
            client.OnAttachmentNotFound = [&](const std::string&) { events += "NotFound;"; };
            client.Connect();
            client.SendMail();
            client.Disconnect();
            EXPECT_EQ(client.Boundary, kFirstBoundary);
            EXPECT_EQ(client.PostMessage.Attachments.Count(), 0); // ClearParams
        }
        EXPECT_EQ(events, "Start(" + path + ");End(" + path + ");");
        EXPECT_TRUE(server.ScriptDone()) << server.Problems();
        const std::string& b = kFirstBoundary;
        EXPECT_EQ(server.Transcript(),
                  "HELO me\r\nRSET\r\nMAIL FROM:<me@example.com>\r\nRCPT TO:<you@example.com>\r\n"
                  "DATA\r\n"
                  "From: Me<me@example.com>\r\n"
                  "To: you@example.com\r\n"
                  "Subject: Hello\r\n"
                  "X-Mailer: Quillo\r\n"
                  "Mime-Version: 1.0\r\n"
                  "Content-Type: multipart/mixed; boundary=\"" +
                      b +
                      "\"\r\n"
                      "\r\n"
                      "\r\n"
                      "--" +
                      b +
                      "\r\n"
                      "Content-Type: text/plain; charset=us-ascii\r\n"
                      "\r\n"
                      "first line\r\n"
                      "..second line\r\n"
                      "--" +
                      b +
                      "\r\n"
                      "Content-Type: application/octet-stream; name=\"hello.txt\"\r\n"
                      "Content-Transfer-Encoding: base64\r\n"
                      "Content-Disposition: attachment; filename=\"hello.txt\"\r\n"
                      "\r\n"
                      "SGVsbG8sIHdvcmxkIQo=\r\n"
                      "--" +
                      b +
                      "--\r\n"
                      ".\r\n"
                      "QUIT\r\n");
    }
}

TEST(Multipart, BoundaryLettersFollowTheRunsGenerator) {
    TempDir dir;
    const std::string path = dir.Write("a.bin", "x");
    ResetRandom();
    TNMSMTP client;
    client.PostMessage.Attachments.Add(path);
    client.AssembleMail();
    EXPECT_EQ(client.Boundary, kFirstBoundary);
    EXPECT_EQ(client.FinalHeader[client.FinalHeader.Count() - 1],
              "Content-Type: multipart/mixed; boundary=\"" + kFirstBoundary + "\"");
    // A message without attachments draws nothing and keeps the last boundary.
    client.PostMessage.Attachments.Clear();
    client.AssembleMail();
    EXPECT_EQ(client.Boundary, kFirstBoundary);
    client.PostMessage.Attachments.Add(path);
    client.AssembleMail();
    EXPECT_EQ(client.Boundary, kSecondBoundary);
}

TEST(Multipart, TwoAttachmentsAndAnEmptyOne) {
    TempDir dir;
    const std::string empty = dir.Write("empty.dat", "");
    const std::string abc = dir.Write("abc.txt", "abc");
    ResetRandom();
    TNMSMTP client;
    client.Charset = "utf-8";
    client.PostMessage.Attachments.Add(empty);
    client.PostMessage.Attachments.Add(abc);
    client.AssembleMail();
    const std::string& b = kFirstBoundary;
    const auto part = [&](const std::string& name) {
        return "--" + b + "\r\nContent-Type: application/octet-stream; name=\"" + name +
               "\"\r\nContent-Transfer-Encoding: base64\r\n"
               "Content-Disposition: attachment; filename=\"" +
               name + "\"\r\n\r\n";
    };
    EXPECT_EQ(BodyOf(client), "--" + b + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
                                  part("empty.dat") + part("abc.txt") + "YWJj\r\n--" + b +
                                  "--\r\n");
}

// A uuencoded file of 14 bytes ends in a line whose length character is ".": on its way into
// the body it gets the doubled dot of a body line, so the server does not drop it.
TEST(Multipart, UuencodedLineStartingWithDotIsDoubled) {
    TempDir dir;
    const std::string path = dir.Write("f.bin", std::string(45, 'A') + "fourteen bytes");
    TMemoryStream raw;
    {
        TFileStream file(path, fmOpenRead);
        TNMUUProcessor encoder;
        encoder.Method = uuCode;
        encoder.SourceStream = &file;
        encoder.TargetStream = &raw;
        encoder.Encode();
    }
    std::string expected(raw.Memory(), static_cast<std::size_t>(raw.Size()));
    const std::size_t last = expected.find("\r\n") + 2;
    ASSERT_EQ(expected[last], '.');
    expected.insert(last, ".");

    TNMSMTP client;
    client.EncodeType = uuCode;
    client.PostMessage.Attachments.Add(path);
    client.AssembleMail();
    const std::string body = BodyOf(client);
    const std::string afterHeaders = "filename=\"f.bin\"\r\n\r\n";
    const std::size_t start = body.find(afterHeaders) + afterHeaders.size();
    EXPECT_EQ(body.substr(start, expected.size()), expected);
    EXPECT_EQ(body.substr(start + expected.size()), "--" + client.Boundary + "--\r\n");
}

// Large files take the fast roads: base64 text handed to the body page by page, uuencoded
// text copied with the dot check. The body must hold exactly the parts, in order, also when
// the body has to grow for the second file after the first one's pages came over.
TEST(Multipart, LargeAttachmentsArriveWhole) {
    TempDir dir;
    std::string first(5 * 1024 * 1024 + 17, '\0'), second(45 * 100000 + 14, '\0');
    unsigned x = 12345;
    for (std::string* s : {&first, &second})
        for (char& c : *s) {
            x = x * 1103515245u + 12345u;
            c = static_cast<char>(x >> 23);
        }
    const std::string firstPath = dir.Write("first.bin", first);
    const std::string secondPath = dir.Write("second.bin", second);
    // Reference lines: 45 bytes to a line, bit by bit.
    const auto lines = [](const std::string& Bytes, UUMethods Method) {
        const char* alphabet =
            Method == uuMime ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
                             : "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
        std::string out;
        for (std::size_t at = 0; at < Bytes.size(); at += 45) {
            const std::size_t n = std::min<std::size_t>(45, Bytes.size() - at);
            if (Method == uuCode) out += alphabet[n];
            for (std::size_t i = 0; i < n; i += 3) {
                const auto byte = [&](std::size_t k) {
                    return k < n ? static_cast<unsigned char>(Bytes[at + k]) : 0u;
                };
                const unsigned v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
                const std::size_t chars =
                    std::min<std::size_t>(4, (n - i) * 4 / 3 + ((n - i) % 3 != 0));
                for (std::size_t k = 0; k < 4; ++k)
                    if (k < chars)
                        out += alphabet[(v >> (18 - 6 * k)) & 63];
                    else if (Method == uuMime)
                        out += '=';
            }
            out += "\r\n";
        }
        if (Method == uuCode) out += "`\r\n";
        return out;
    };
    for (UUMethods method : {uuMime, uuCode}) {
        SCOPED_TRACE(method == uuMime ? "base64" : "uuencode");
        TNMSMTP client;
        client.EncodeType = method;
        client.PostMessage.Attachments.Add(firstPath);
        client.PostMessage.Attachments.Add(secondPath);
        client.AssembleMail();
        const std::string body = BodyOf(client);
        std::string secondLines = lines(second, method);
        if (method == uuCode) {
            // The last data line holds 14 bytes and so begins with ".", which is doubled.
            const std::size_t last = secondLines.size() - std::string("`\r\n").size() - 22;
            ASSERT_EQ(secondLines[last], '.');
            secondLines.insert(last, ".");
        }
        const std::string& b = client.Boundary;
        const auto head = [&](const std::string& name) {
            return "--" + b + "\r\nContent-Type: application/octet-stream; name=\"" + name +
                   "\"\r\nContent-Transfer-Encoding: base64\r\n"
                   "Content-Disposition: attachment; filename=\"" +
                   name + "\"\r\n\r\n";
        };
        const std::string expected = "--" + b +
                                     "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" +
                                     head("first.bin") + lines(first, method) + head("second.bin") +
                                     secondLines + "--" + b + "--\r\n";
        EXPECT_EQ(body.size(), expected.size());
        EXPECT_TRUE(body == expected);
    }
}

// The part header is written before the file is opened, so a missing file still shows the
// name it would have carried.
TEST(Multipart, FileNameOfThePath) {
    struct Row {
        const char* codepage;
        std::string path;
        std::string type, disposition;
    };
    const Row rows[] = {
        {"UTF-8", "C:\\dir\\a.txt", "name=\"a.txt\"", "filename=\"a.txt\""},
        {"UTF-8", "c:name.txt", "name=\"name.txt\"", "filename=\"name.txt\""},
        {"UTF-8", "dir/sub/b.bin", "name=\"b.bin\"", "filename=\"b.bin\""},
        {"UTF-8", "plain name.txt", "name=\"plain name.txt\"", "filename=\"plain name.txt\""},
        {"UTF-8", "/x/\xE6\x97\xA5\xE6\x9C\xAC.txt", "name*=UTF-8''%E6%97%A5%E6%9C%AC.txt",
         "filename*=UTF-8''%E6%97%A5%E6%9C%AC.txt"},
        {"UTF-8", "/x/a\"b.txt", "name*=UTF-8''a%22b.txt", "filename*=UTF-8''a%22b.txt"},
        // The second byte of a double-byte character is never a separator (0x5C is "\").
        {"Shift_JIS", "C:\\d\\\x95\x5C.txt", "name*=Shift_JIS''%95%5C.txt",
         "filename*=Shift_JIS''%95%5C.txt"},
    };
    const TCodePage saved = SystemCodePage();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        SetSystemCodePage(r.codepage);
        TNMSMTP client;
        client.PostMessage.Attachments.Add("/nonexistent-quillo-dir/" + r.path);
        EXPECT_THROW(client.AssembleMail(), EFOpenError);
        const std::string body = BodyOf(client);
        EXPECT_NE(body.find("Content-Type: application/octet-stream; " + r.type + "\r\n"),
                  std::string::npos)
            << body;
        EXPECT_NE(body.find("Content-Disposition: attachment; " + r.disposition + "\r\n"),
                  std::string::npos)
            << body;
    }
    SetSystemCodePage(saved.Name);
}

TEST(Multipart, MissingAttachmentSendsNoCommand) {
    FakeSmtpServer server(Join({Greet(), Helo(), Quit()}));
    const std::string path = "/nonexistent-quillo-dir/report.pdf";
    std::string events;
    {
        TNMSMTP client;
        PointAt(client, server);
        FillMessage(client.PostMessage);
        client.PostMessage.Attachments.Add(path);
        client.OnAttachmentNotFound = [&](const std::string& f) {
            events += "NotFound(" + f + ");";
        };
        client.OnEncodeStart = [&](const std::string&) { events += "Start;"; };
        client.OnSendStart = [&](TObject*) { events += "SendStart;"; };
        client.Connect();
        try {
            client.SendMail();
            ADD_FAILURE() << "SendMail passed";
        } catch (const EFOpenError& e) {
            EXPECT_NE(e.Message().find(path), std::string::npos) << e.Message();
        }
        EXPECT_FALSE(client.Busy);
        EXPECT_EQ(client.PostMessage.Attachments.Count(), 1);
        client.Disconnect();
    }
    EXPECT_EQ(events, "NotFound(" + path + ");");
    EXPECT_TRUE(server.ScriptDone()) << server.Problems();
    EXPECT_EQ(server.Transcript(), "HELO me\r\nQUIT\r\n");
}

} // namespace
} // namespace quillo::test
