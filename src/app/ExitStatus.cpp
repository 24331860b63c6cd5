#include "app/ExitStatus.h"

#include "net/Psock.h"
#include "platform/Exceptions.h"
#include "smtp/Nmsmtp.h"

#include <string>

namespace quillo {

namespace {

// A failure that carries the server's reply line starts with its reply code, read by the
// transport's own rule.
bool ReplyCode(const std::string& Message, int& Code) {
    if (Message.empty() || Message[0] < '0' || Message[0] > '9') return false;
    try {
        Code = ReplyNumberOf(Message);
    } catch (const ERangeError&) {
        Code = 0; // out of range: no 4xx, so it counts as a refusal for good
    }
    return true;
}

int ByReply(int Code) {
    return Code >= 400 && Code < 500 ? exTempFail : exUnavailable;
}

} // namespace

int ExitStatusFor(TRunStep Step, const std::exception& Error, int ReplyNumber) {
    const auto* ex = dynamic_cast<const Exception*>(&Error);
    const std::string message = ex ? ex->Message() : std::string();
    const bool transport = dynamic_cast<const ESockError*>(&Error) != nullptr;
    int code = 0;

    switch (Step) {
    case TRunStep::Attachment:
    case TRunStep::BodyFile:
        return exNoInput;
    case TRunStep::Disconnect:
        // The mail was accepted: it must not be sent again.
        return exProtocol;
    case TRunStep::Connect:
        if (dynamic_cast<const EValueRefused*>(&Error)) return exDataErr;
        if (!transport && ReplyCode(message, code)) return ByReply(code);
        if (!transport && message == "Authentication failed") return ByReply(ReplyNumber);
        return exTempFail;
    case TRunStep::SendMail:
        if (dynamic_cast<const EValueRefused*>(&Error)) return exDataErr;
        if (dynamic_cast<const EFOpenError*>(&Error)) return exNoInput;
        if (!transport && message == "Incomplete Header") return exConfig;
        if (!transport && ReplyCode(message, code)) return ByReply(code);
        return exTempFail;
    }
    return exSoftware;
}

int SetupExitStatus(int ParamCount, bool HostConfigured) {
    if (ParamCount == 0) return exOk;
    if (ParamCount != 3 && ParamCount != 4) return exUsage;
    return HostConfigured ? exOk : exConfig;
}

} // namespace quillo
