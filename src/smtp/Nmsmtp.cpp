#include "smtp/Nmsmtp.h"

#include "codec/Nms_stream.h"
#include "platform/CodePage.h"
#include "platform/FileStream.h"
#include "platform/Random.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace quillo {

namespace {

bool HoldsLineBreakOrNul(std::string_view Value) {
    return Value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void RefuseInCommand(std::string_view Value, const std::string& What) {
    if (HoldsLineBreakOrNul(Value))
        throw EValueRefused(What + " contains a CR, LF or NUL character");
}

void WriteText(TStream& Stream, std::string_view Text) {
    if (!Text.empty()) Stream.WriteBuffer(Text.data(), static_cast<std::int32_t>(Text.size()));
}

// A body text line: the entry and CR LF, with one more "." in front of a leading ".".
void WriteBodyLine(TStream& Stream, std::string_view Line) {
    if (!Line.empty() && Line.front() == '.') WriteText(Stream, ".");
    WriteText(Stream, Line);
    WriteText(Stream, "\r\n");
}

// The last component of a path: after the last "\" or ":" (and "/", the folder separator
// here). Walking by characters keeps a trail byte of a double-byte character from counting.
std::string FileNameOf(std::string_view Path) {
    const TCodePage& cp = SystemCodePage();
    std::size_t start = 0;
    for (std::size_t i = 0; i < Path.size(); i += CharLength(Path, i, cp)) {
        const char c = Path[i];
        if (c == '\\' || c == ':' || c == '/') start = i + 1;
    }
    return std::string(Path.substr(start));
}

// A name that can stand between double quotes as it is.
bool IsPlainName(std::string_view Name) {
    return std::all_of(Name.begin(), Name.end(),
                       [](char c) { return c >= 0x20 && c <= 0x7E && c != '"'; });
}

// RFC 2231 extended value: charset, empty language, percent escapes for all but attr-chars.
std::string ExtendedValue(std::string_view Name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out = SystemCodePage().Name + "''";
    for (const char c : Name) {
        const auto b = static_cast<unsigned char>(c);
        const bool attrChar = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                              (b >= '0' && b <= '9') ||
                              std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos;
        if (attrChar) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0x0F];
        }
    }
    return out;
}

} // namespace

TNMSMTP::TNMSMTP(TComponent* AOwner) : TPowersock(AOwner) {
    Port = 25;
}

TNMSMTP::~TNMSMTP() = default;

void TNMSMTP::ReadExtraLines(std::string& Reply) {
    // A continuation line begins with a blank or has "-" as its fourth character; an empty
    // line (the peer closed) or a short one is never read past its end.
    while (!Reply.empty() && (Reply[0] == ' ' || (Reply.size() >= 4 && Reply[3] == '-')))
        Reply = ReadLn();
}

std::string TNMSMTP::Command(const std::string& Text) {
    std::string reply = Transaction(Text);
    // An empty reply means the server has closed the connection; its reply number 0 would
    // otherwise pass every threshold and report a lost mail as sent.
    if (reply.empty()) throw ESockError("Connection closed by the server");
    return reply;
}

void TNMSMTP::Connect() {
    const bool wasBusy = Busy;
    Busy = true;
    bool greeted = false;
    try {
        // Refused before any connection is opened; the handler's retry is checked again.
        RefuseInCommand(UserID, "The HELO name (UserID)");
        TPowersock::Connect();
        try {
            std::string reply = ReadLn();
            if (reply.empty()) throw ESockError("Connection closed by the server");
            const int greeting = ReplyNumberOf(reply);
            ReadExtraLines(reply);
            if (greeting >= 400) throw Exception(reply);
            int retries = 0;
            for (;;) {
                RefuseInCommand(UserID, "The HELO name (UserID)");
                reply = Command("HELO " + UserID);
                ReadExtraLines(reply);
                if (ReplyNumber < 300) break;
                if (retries > 0 || !OnAuthenticationFailed)
                    throw Exception("Authentication failed");
                bool handled = false;
                OnAuthenticationFailed(handled);
                if (!handled) throw Exception("Authentication failed");
                ++retries;
            }
            greeted = true;
        } catch (...) {
            Disconnect(); // its own failure, if any, replaces this one
            throw;
        }
    } catch (...) {
        Busy = wasBusy;
        throw;
    }
    Busy = wasBusy;
    if (greeted && OnConnect) OnConnect(this);
}

void TNMSMTP::CheckComplete() {
    int retries = 0;
    for (;;) {
        const TPostMessage& m = PostMessage;
        const bool hasSender = !m.FromAddress.empty();
        const bool hasRecipient = m.ToAddress.Count() > 0 || m.ToCarbonCopy.Count() > 0 ||
                                  m.ToBlindCarbonCopy.Count() > 0;
        if (hasSender && hasRecipient) return;
        if (retries > 0 || !OnHeaderIncomplete) throw Exception("Incomplete Header");
        bool handled = false;
        OnHeaderIncomplete(handled, hasSender ? 2 : 1);
        if (!handled) throw Exception("Incomplete Header");
        ++retries;
    }
}

void TNMSMTP::RefuseUnsafeValues() const {
    RefuseInCommand(PostMessage.FromAddress, "The sender address (FromAddress)");
    // A recipient entry also goes whole into the To or CC header line, so a line break
    // anywhere in it is refused, not only inside the address RCPT TO would carry.
    const std::pair<const TStringList*, const char*> lists[] = {
        {&PostMessage.ToAddress, "ToAddress"},
        {&PostMessage.ToCarbonCopy, "ToCarbonCopy"},
        {&PostMessage.ToBlindCarbonCopy, "ToBlindCarbonCopy"},
    };
    for (const auto& [list, name] : lists)
        for (const std::string& entry : *list)
            RefuseInCommand(entry, std::string("A recipient entry in ") + name);
}

void TNMSMTP::SendRecipients(const TStringList& List) {
    const int count = List.Count();
    // A handler may shorten the list while the loop runs.
    for (int i = 0; i < count && i < List.Count(); ++i) {
        const std::string entry = List[i];
        const std::string address = ExtractAddress(entry);
        if (address.empty()) continue;
        Command("RCPT TO:<" + address + ">");
        if (ReplyNumber > 300 && OnRecipientNotFound) OnRecipientNotFound(entry);
    }
}

void TNMSMTP::SendMail() {
    if (Busy) return;
    Busy = true;
    bool accepted = false;
    try {
        AssembleMail();
        CertifyConnect();
        CheckComplete();
        if (OnSendStart) OnSendStart(this);
        RefuseUnsafeValues();

        std::string reply = Command("RSET");
        if (ReplyNumber >= 400) throw Exception(reply);
        reply = Command("MAIL FROM:<" + PostMessage.FromAddress + ">");
        if (ReplyNumber >= 400) throw Exception(reply);
        SendRecipients(PostMessage.ToAddress);
        SendRecipients(PostMessage.ToCarbonCopy);
        SendRecipients(PostMessage.ToBlindCarbonCopy);
        reply = Command("DATA");
        if (ReplyNumber >= 400) throw Exception(reply);
        Write(FinalHeader.Text() + "\r\n\r\n");
        SendStream(BodyStream);
        reply = Command(".");
        if (ReplyNumber >= 400) {
            if (OnFailure) OnFailure(this);
            throw Exception(reply);
        }
        accepted = true;
        if (ClearParams) ClearParameters();
    } catch (...) {
        Busy = false;
        throw;
    }
    Busy = false;
    if (accepted && OnSuccess) OnSuccess(this);
}

void TNMSMTP::Disconnect() {
    Canceled = false; // so that QUIT still goes out after an abort
    try {
        const std::string reply = Transaction("QUIT");
        if (ReplyNumber > 339) throw Exception(reply);
    } catch (...) {
        TPowersock::Disconnect();
        throw;
    }
    TPowersock::Disconnect();
}

bool TNMSMTP::Verify(const std::string& Name) {
    CertifyConnect();
    RefuseInCommand(Name, "The VRFY name");
    Command("VRFY " + Name);
    return ReplyNumber <= 251;
}

bool TNMSMTP::ExpandList(const std::string& Name) {
    if (Busy) return false;
    Busy = true;
    bool result = false;
    try {
        CertifyConnect();
        RefuseInCommand(Name, "The EXPN name");
        std::string reply = Command("EXPN " + Name);
        if (ReplyNumber <= 399) {
            result = true;
            if (OnMailListReturn) OnMailListReturn(reply);
            ReadExtraLines(reply);
        }
    } catch (...) {
        Busy = false;
        throw;
    }
    Busy = false;
    return result;
}

void TNMSMTP::Abort() {
    TPowersock::Abort();
}

void TNMSMTP::ClearParameters() {
    PostMessage.ToAddress.Clear();
    PostMessage.ToCarbonCopy.Clear();
    PostMessage.ToBlindCarbonCopy.Clear();
    PostMessage.Attachments.Clear();
}

std::string TNMSMTP::ExtractAddress(const std::string& Entry) const {
    if (Entry.find('<') != std::string::npos) return NthWord(NthWord(Entry, '<', 2), '>', 1);
    if (Entry.find(':') != std::string::npos) return NthWord(Entry, ':', 2);
    return Entry;
}

void TNMSMTP::AssembleMail() {
    const TPostMessage& m = PostMessage;
    FinalHeader.Clear();
    FinalHeader.Add("From: " + m.FromName + "<" + m.FromAddress + ">");
    const auto joined = [](const TStringList& List) {
        std::string out;
        for (int i = 0; i < List.Count(); ++i) {
            if (i > 0) out += ',';
            out += List[i];
        }
        return out;
    };
    if (m.ToAddress.Count() > 0) FinalHeader.Add("To: " + joined(m.ToAddress));
    if (m.ToCarbonCopy.Count() > 0) FinalHeader.Add("CC: " + joined(m.ToCarbonCopy));
    FinalHeader.SetValue("Subject", m.Subject);
    FinalHeader.SetValue("X-Mailer", m.LocalProgram);
    if (!m.ReplyTo.empty()) FinalHeader.SetValue("Reply-To", m.ReplyTo);
    if (!m.Date.empty()) FinalHeader.SetValue("Date", m.Date);
    FinalHeader.Add("Mime-Version: 1.0");

    const bool multipart = m.Attachments.Count() > 0;
    if (multipart) {
        AddMultipartContentLine();
    } else {
        const char* type;
        switch (SubType) {
        case mtEnriched:
            type = "text/enriched";
            break;
        case mtSgml:
            type = "text/sgml";
            break;
        case mtTabSeperated:
            type = "text/tab-separated-values";
            break;
        case mtHtml:
            type = "text/html";
            break;
        default:
            type = "text/plain";
            break;
        }
        FinalHeader.Add(std::string("Content-Type: ") + type + "; charset=" + Charset);
    }

    BodyStream.Clear();
    if (multipart)
        WriteMultipartBody();
    else
        WriteBodyLines();
}

void TNMSMTP::WriteBodyLines() {
    std::int64_t total = 0;
    for (const std::string& line : PostMessage.Body)
        total += static_cast<std::int64_t>(line.size()) + 3;
    BodyStream.Reserve(BodyStream.Size() + total);
    for (const std::string& line : PostMessage.Body)
        WriteBodyLine(BodyStream, line);
}

void TNMSMTP::AddMultipartContentLine() {
    std::string letters;
    for (int i = 0; i < 6; ++i)
        letters += static_cast<char>('a' + Random(25));
    Boundary = "====================54535" + letters + "====";
    FinalHeader.Add("Content-Type: multipart/mixed; boundary=\"" + Boundary + "\"");
}

void TNMSMTP::WriteMultipartBody() {
    WriteText(BodyStream,
              "--" + Boundary + "\r\nContent-Type: text/plain; charset=" + Charset + "\r\n\r\n");
    WriteBodyLines();
    for (int i = 1; i <= PostMessage.Attachments.Count(); ++i)
        SendAttachments(i);
    WriteText(BodyStream, "--" + Boundary + "--\r\n");
}

void TNMSMTP::SendAttachments(int Index) {
    const std::string path = PostMessage.Attachments[Index - 1];
    const std::string name = FileNameOf(path);

    std::string head = "--" + Boundary + "\r\n";
    if (IsPlainName(name)) {
        head += "Content-Type: application/octet-stream; name=\"" + name + "\"\r\n";
        head += "Content-Transfer-Encoding: base64\r\n";
        head += "Content-Disposition: attachment; filename=\"" + name + "\"\r\n";
    } else {
        // Raw 8-bit bytes are not allowed in a header; this form carries any name intact.
        const std::string value = ExtendedValue(name);
        head += "Content-Type: application/octet-stream; name*=" + value + "\r\n";
        head += "Content-Transfer-Encoding: base64\r\n";
        head += "Content-Disposition: attachment; filename*=" + value + "\r\n";
    }
    head += "\r\n";
    WriteText(BodyStream, head);

    TNMUUProcessor encoder(this);
    encoder.Method = EncodeType;
    TMemoryStream encoded;
    TS_BufferStream buffered(encoded);

    std::unique_ptr<TFileStream> file;
    try {
        file = std::make_unique<TFileStream>(path, fmOpenRead);
    } catch (const EFOpenError&) {
        if (OnAttachmentNotFound) OnAttachmentNotFound(path);
        throw;
    }
    // Room for the whole part up front: base64 turns every 45 bytes into a line of 62 (uuCode
    // 63). The message grows by it, so the encoded text can be handed over page by page.
    const std::int64_t sourceSize = file->GetSize();
    const std::int64_t estimate = (sourceSize / 45 + 2) * 64;
    BodyStream.Reserve(BodyStream.Size() + estimate + 4096);
    encoded.ReserveToAppendTo(estimate, BodyStream);

    encoder.SourceStream = file.get();
    encoder.TargetStream = &buffered;
    if (OnEncodeStart) OnEncodeStart(path);
    encoder.Encode();
    if (OnEncodeEnd) OnEncodeEnd(path);
    file.reset();

    // The rewind writes out what the buffered stream still holds, so the memory stream
    // behind it has every encoded byte from here on.
    buffered.SetPosition(0);
    const std::int64_t size = buffered.GetSize();
    if (size != encoded.Size()) throw EStreamError("Stream read error");

    // Base64 never starts a line with "."; then the text goes over as it is, page by page.
    if (EncodeType == uuMime) {
        BodyStream.Append(encoded);
        return;
    }
    // An encoded line that begins with "." (uuCode can make one) gets the doubled dot of a
    // body line.
    const char* const begin = encoded.Memory();
    const char* const end = begin + size;
    const char* pending = begin;
    const auto flush = [&](const char* upTo) {
        while (pending < upTo) {
            const auto n = static_cast<std::int32_t>(
                std::min<std::int64_t>(upTo - pending, std::int64_t{1} << 30));
            BodyStream.WriteBuffer(pending, n);
            pending += n;
        }
    };
    for (const char* q = begin; q < end;) {
        const void* dot = std::memchr(q, '.', static_cast<std::size_t>(end - q));
        if (dot == nullptr) break;
        const char* d = static_cast<const char*>(dot);
        if (d == begin || d[-1] == '\n') {
            flush(d);
            WriteText(BodyStream, ".");
        }
        q = d + 1;
    }
    flush(end);
}

} // namespace quillo
