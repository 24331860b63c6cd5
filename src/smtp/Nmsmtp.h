// The SMTP client: one outgoing message record, the assembly of the whole message in memory
// and the dialogue with one server over the line transport it derives from.
#pragma once

#include "codec/Nmuue.h"
#include "net/Psock.h"
#include "platform/Classes.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "platform/StringList.h"
#include "smtp/Nmextstr.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace quillo {

// A value that would put a CR, LF or NUL into a command line; raised before that command
// (and, in SendMail, before any command of the mail transaction) is sent.
class EValueRefused : public Exception {
public:
    using Exception::Exception;
};

// Text type of a message without attachments.
enum TSubType : std::uint8_t { mtPlain, mtEnriched, mtSgml, mtTabSeperated, mtHtml };

using THeaderInComplete = std::function<void(bool& handled, int hiType)>;
using TRecipientNotFound = std::function<void(const std::string& Recipient)>;
using TFileItem = std::function<void(const std::string& Filename)>;
using TMailListReturn = std::function<void(const std::string& MailAddress)>;

// The outgoing message. The lists are owned; callers add to them in place, and the SetLines
// functions copy another list's lines in.
class TPostMessage : public TObject {
public:
    std::string FromName;     // display name, used only in the "From: " line
    std::string FromAddress;  // header line and MAIL FROM, unchanged
    std::string Subject;      // no Subject line when empty
    std::string LocalProgram; // X-Mailer, none when empty
    std::string Date;         // Date line text, none when empty
    std::string ReplyTo;      // Reply-To line text, none when empty
    TStringList Attachments;  // one file path per entry
    TStringList ToAddress;
    TStringList ToCarbonCopy;
    TStringList ToBlindCarbonCopy; // envelope only, never in the header
    TStringList Body;              // one line per entry, without line ends

    void SetLinesTo(const TStringList& Value) { ToAddress.Assign(Value); }
    void SetLinesCC(const TStringList& Value) { ToCarbonCopy.Assign(Value); }
    void SetLinesBCC(const TStringList& Value) { ToBlindCarbonCopy.Assign(Value); }
    void SetLinesBody(const TStringList& Value) { Body.Assign(Value); }
    void SetLinesAttachments(const TStringList& Value) { Attachments.Assign(Value); }
};

class TNMSMTP : public TPowersock {
public:
    explicit TNMSMTP(TComponent* AOwner = nullptr);
    ~TNMSMTP() override;

    std::string Charset = "us-ascii";
    // Fired at the end of a successful Connect, after HELO. It hides the transport's connect
    // notification event of the same name, which this client leaves unused.
    TNotifyEvent OnConnect;
    TPostMessage PostMessage;
    TMemoryStream BodyStream;
    TExStringList FinalHeader;
    bool Busy = false;
    std::string UserID;   // argument of HELO
    std::string Boundary; // MIME boundary of the last multipart message
    TSubType SubType = mtPlain;
    THeaderInComplete OnHeaderIncomplete;
    TNotifyEvent OnSendStart;
    TNotifyEvent OnSuccess;
    TNotifyEvent OnFailure;
    TFileItem OnEncodeStart;
    TFileItem OnEncodeEnd;
    TFileItem OnAttachmentNotFound;
    TRecipientNotFound OnRecipientNotFound;
    TMailListReturn OnMailListReturn;
    THandlerEvent OnAuthenticationFailed;
    UUMethods EncodeType = uuMime;
    bool ClearParams = true;

    void SetFinalHeader(const TStringList& Value) { FinalHeader.Assign(Value); }

    // Socket connection, greeting and HELO. A failure after the connection was opened sends
    // QUIT and closes it before it propagates.
    void Connect() override;
    // Assembles the message and runs one complete mail transaction. A refused command raises
    // Exception with the reply line; an empty reply (the server closed the connection) raises
    // ESockError "Connection closed by the server"; a CR, LF or NUL in the sender or a
    // recipient entry raises EValueRefused before RSET.
    void SendMail();
    // QUIT, then the socket is closed whatever the reply.
    void Disconnect() override;
    bool Verify(const std::string& Name);
    bool ExpandList(const std::string& Name);
    void Abort() override;
    // Empties the recipient lists and Attachments (not Body, not the strings).
    void ClearParameters();
    // The bare address of a recipient entry, for RCPT TO.
    std::string ExtractAddress(const std::string& Entry) const;
    // Reads continuation lines; Reply is left holding the last line read.
    void ReadExtraLines(std::string& Reply);
    // Builds FinalHeader and BodyStream from PostMessage.
    void AssembleMail();
    // Appends the part of attachment number Index (counted from 1) to BodyStream.
    void SendAttachments(int Index);

private:
    // A transaction whose reply must not be empty (an empty one means the peer closed).
    std::string Command(const std::string& Text);
    void CheckComplete();
    void RefuseUnsafeValues() const;
    void SendRecipients(const TStringList& List);
    void WriteBodyLines();
    void AddMultipartContentLine();
    void WriteMultipartBody();
};

} // namespace quillo
