// Exit statuses of the program, the mail system's conventional codes (sysexits), so that a
// script can tell "try again" from "give up" from "already sent".
#pragma once

#include <exception>

namespace quillo {

enum TExitStatus : int {
    exOk = 0,           // accepted and closed, or a setup session started without arguments
    exUsage = 64,       // arguments, but not 3 or 4 of them
    exDataErr = 65,     // a value refused before it reached the server
    exNoInput = 66,     // attachment or body file missing or unreadable
    exUnavailable = 69, // the server refused for good (5xx)
    exSoftware = 70,    // an unexpected failure reached the program's entry
    exTempFail = 75,    // try again later: no connection, lost, timed out, 4xx
    exProtocol = 76,    // accepted, but QUIT failed: do not send again
    exConfig = 78,      // no host (with 3 or 4 arguments) or no sender address
};

// Where a run can fail.
enum class TRunStep { Attachment, Connect, BodyFile, SendMail, Disconnect };

// The exit status for a run that failed at Step with Error. ReplyNumber is the client's reply
// number at that moment (it tells why HELO was refused).
int ExitStatusFor(TRunStep Step, const std::exception& Error, int ReplyNumber);
// The status of a start that ended in the setup window without a run.
int SetupExitStatus(int ParamCount, bool HostConfigured);

} // namespace quillo
