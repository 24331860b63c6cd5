// The TCP client transport: name resolution, one connection, time-outs and cancellation,
// line-oriented reading and writing, reply-number transactions, status reports and the
// socket error texts.
//
// Everything runs on the caller's thread. Each wait blocks in poll(2) on the socket, the
// name lookup's answer and the time-out deadline; the notifications (connect completion,
// peer close, lookup answer) and the timer's tick are dispatched inside the waits, and a
// wait also runs the message pump hook (platform/Pump.h) so a window stays alive.
//
// Failures are exceptions: ESockError with a fixed text or "number:text" from the socket
// error table, EAbortError for a cancelled or timed-out transfer, the plain Exception
// "Not Connected" from CertifyConnect, and ERangeError where a length or a number is out of
// range.
#pragma once

#include "platform/Classes.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quillo {

class ESockError : public Exception {
public:
    using Exception::Exception;
};

// A transfer ended by Cancel or by the time-out. A handler for ESockError catches it too.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

using TOnHostResolved = std::function<void(TComponent* Sender)>;
using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;
using TOnErrorEvent =
    std::function<void(TComponent* Sender, std::uint16_t Errno, const std::string& Errmsg)>;

// The time-out timer. It runs no thread: it only holds a deadline, and the transport's waits
// deliver its tick (OnTimer) when the deadline has passed. Like a window-system timer it
// ticks every Interval milliseconds while Enabled, Interval is not 0 and OnTimer is set.
class TThreadTimer : public TComponent {
public:
    using Clock = std::chrono::steady_clock;

    explicit TThreadTimer(TComponent* AOwner = nullptr);
    ~TThreadTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool Value);
    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t Value);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent Value);

    // True while a tick is scheduled; NextTick() is then its time.
    bool Armed() const { return armed_; }
    Clock::time_point NextTick() const { return next_; }
    // Delivers the tick when it is due at Now (then schedules the next one); true if it did.
    bool DeliverDueTick(Clock::time_point Now = Clock::now());
    // Calls OnTimer (Sender = this).
    void Timer();

private:
    // Stops the schedule and starts it again when the timer can tick. The platform timer this
    // stands for could refuse ("No Timer"); a deadline cannot.
    void UpdateTimer();

    bool enabled_ = true;
    std::uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    bool armed_ = false;
    Clock::time_point next_{};
};

// Reply number of a line: the value of its leading digits (at most 10), 0 when there are none
// or when they exceed the signed 32-bit range; a value outside -32768..32767 raises
// ERangeError. "250 ok\r\n" gives 250, "221\r\n" 221, "" and "hello" 0.
std::int16_t ReplyNumberOf(std::string_view Line);

// Field N (from 1) of Text split at Delimiter; empty when N is beyond the last field.
// NthWord("a<b>c", '<', 2) == "b>c".
std::string NthWord(const std::string& Text, char Delimiter, int N);

class TPowersock : public TComponent {
public:
    // Size of WorkArea: one block of a stream, one peek, one written text.
    static constexpr int WorkAreaBlock = 65536;
    static constexpr int WorkAreaSize = 65540;

    // Raises ESockError "Initializaton of windows sockets failed" when no socket can be made.
    explicit TPowersock(TComponent* AOwner = nullptr);
    ~TPowersock() override;

    // Properties.
    std::string Host;    // server name or dotted IPv4 address
    int Port = 0;        // its low 16 bits are used
    int TimeOut = 0;     // milliseconds per wait; 0: no time-out
    int ReportLevel = 0; // highest status level passed to OnStatus

    // Events; an unassigned one is skipped. Sender is this transport.
    TNotifyEvent OnConnect;             // connect notification without error
    TNotifyEvent OnDisconnect;          // after RequestCloseSocket closed (not in destruction)
    THandlerEvent OnInvalidHost;        // no address; set Handled to retry once
    TOnHostResolved OnHostResolved;     // after a name lookup (not for a dotted address)
    TNotifyEvent OnConnectionFailed;    // the connect wait ended without a connection
    THandlerEvent OnConnectionRequired; // CertifyConnect found none; set Handled to retest
    TNotifyEvent OnPacketSent;          // after each send of SendStream that sent bytes
    TOnStatus OnStatus;                 // each status that passes ReportLevel
    TOnErrorEvent OnError;              // before an ESockError for a socket error

    // State. Read it; the owners that may change it are the transport and (for Canceled)
    // the client built on it.
    bool Connected = false;
    bool Canceled = false;
    bool TimedOut = false;
    bool LookupDone = false;
    bool LastEventOk = false;
    bool ShuttingDown = false;
    std::int16_t ReplyNumber = 0; // of the last Transaction
    std::string LastReply;        // of the last Transaction, line end included
    int BytesSent = 0;            // of the current SendStream
    int BytesTotal = 0;           // size of the stream of the current SendStream
    int LastErrorNo = 0;          // last error number fetched by the error check
    std::string LastStatus;       // last status that passed ReportLevel

    // Number of live transports (the socket library is "started" while it is above 0).
    static int InstanceCount;

    // Resolves Host (dotted address without lookup), connects and waits for the connection.
    virtual void Connect();
    // Closes the socket, calls OnDisconnect and leaves a fresh socket for the next Connect.
    virtual void Disconnect();
    // Writeln(Command), then ReadLn; sets LastReply and ReplyNumber and returns the reply.
    virtual std::string Transaction(const std::string& Command);
    // Cancel; a client overrides it to cancel its own work too.
    virtual void Abort();

    // Raises Exception "Not Connected" unless connected (OnConnectionRequired may repair).
    void CertifyConnect();
    // Asks every wait and transfer to stop at its next test.
    void Cancel();

    // Sends Text up to its first zero byte (at most 65535 bytes, else ERangeError).
    void Write(const std::string& Text);
    // Write(Text + CR LF).
    void Writeln(const std::string& Text);
    // Sends Length bytes of Data; Length 0: up to the first zero byte. Raises EAbortError
    // "Socket send aborted" when cancelled.
    void SendBuffer(const char* Data, std::uint16_t Length);
    // Sends the whole stream from position 0 in blocks of up to 65536 bytes.
    void SendStream(TStream& Stream);
    // Reads one line with its line end (LF, or CR LF); empty when the peer has closed.
    // Takes exactly the line's bytes from the socket. Raises EAbortError "Socket readln
    // aborted" when cancelled or timed out, ERangeError for a line with no LF in 65536 bytes.
    std::string ReadLn();
    // True when at least one byte is waiting.
    bool DataAvailable();
    // Discards up to 65536 waiting bytes.
    void ClearInput();

    // Reports Text through OnStatus when Level <= ReportLevel; never raises.
    void StatusMessage(std::uint8_t Level, const std::string& Text);
    // Checks the pending socket error (see WinsockErrors.h): Ignore and numbers up to 10000
    // return an empty text; anything else calls OnError and raises ESockError with its text.
    std::string ErrorManager(std::uint16_t Ignore);
    // "10061:Connection refused"; "Unknown Error No. N" outside the table; "" for 0.
    std::string SocketErrorStr(std::uint16_t Number);
    // Accessors of LastErrorNo that report their use.
    int GetLastErrorNo();
    void SetLastErrorNo(int Value);

protected:
    void ResolveRemoteHost();
    void RequestCloseSocket();
    void TimerOn();
    void TimerOff();
    void TimerFired(TObject* Sender);
    void InitWinsock();

private:
    struct Lookup;
    enum class WaitKind { Lookup, Connect, Read, Stream, Buffer };

    // One round of a wait: block in poll until the socket, the lookup answer, the deadline or
    // the pump interval wakes it (not at all when Block is false), then dispatch what is
    // pending and run the message pump. SendBuffer's wait (Buffer) dispatches no socket
    // notifications, only the timer's tick and the pump.
    void Wait(WaitKind Kind, bool Block);
    void DispatchSocket(short Revents);
    void DispatchLookup();
    void ConnectNotification(int Error);
    void CloseNotification(int Error);
    bool WaitDone(WaitKind Kind) const;
    int OpenSocket(bool Linger);
    // Records the errno of a failed socket call as the pending WinSock error.
    void SetPendingError(int Errnum);

    int socket_ = -1;
    bool connectPending_ = false; // a connect has been started and not yet notified
    bool attemptFailed_ = false;  // a connect on this socket was refused or failed
    bool linger_ = false;         // this socket closes with a reset
    bool established_ = false;    // the connection on this socket came up
    bool closeNotified_ = false;  // the peer's close has been dispatched
    bool destroying_ = false;
    std::uint32_t remoteAddress_ = 0; // network byte order
    std::unique_ptr<char[]> WorkArea;
    std::shared_ptr<Lookup> lookup_;
    std::unique_ptr<TThreadTimer> timer_;
};

} // namespace quillo
