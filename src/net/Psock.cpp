#include "net/Psock.h"

#include "platform/Pump.h"
#include "platform/WinsockErrors.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <unistd.h>
#include <utility>

namespace quillo {

namespace {

// How often a wait wakes to run an installed message pump.
constexpr int PumpIntervalMs = 10;

struct ErrorRow {
    int Number;
    const char* Message;
};

const ErrorRow WinsockMessage[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
};
static_assert(std::size(WinsockMessage) == 50);

// Runs a cleanup when the scope ends, however it ends.
template <class F> class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    ~Finally() { f_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    F f_;
};

} // namespace

// ---------------------------------------------------------------------------------------
// Free functions

std::int16_t ReplyNumberOf(std::string_view Line) {
    std::int64_t value = 0;
    std::size_t digits = 0;
    while (digits < Line.size() && digits < 10 && Line[digits] >= '0' && Line[digits] <= '9')
        value = value * 10 + (Line[digits++] - '0');
    if (digits == 0 || value > INT32_MAX) return 0;
    if (value > INT16_MAX) throw ERangeError();
    return static_cast<std::int16_t>(value);
}

std::string NthWord(const std::string& Text, char Delimiter, int N) {
    std::string word;
    int field = 1;
    for (char c : Text) {
        if (c == Delimiter) {
            if (field == N) break;
            ++field;
        } else if (field == N) {
            word += c;
        }
    }
    return word;
}

// ---------------------------------------------------------------------------------------
// TThreadTimer

TThreadTimer::TThreadTimer(TComponent* AOwner) : TComponent(AOwner) {}

TThreadTimer::~TThreadTimer() {
    SetEnabled(false);
}

void TThreadTimer::SetEnabled(bool Value) {
    if (Value != enabled_) {
        enabled_ = Value;
        UpdateTimer();
    }
}

void TThreadTimer::SetInterval(std::uint32_t Value) {
    if (Value != interval_) {
        interval_ = Value;
        UpdateTimer();
    }
}

void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
    onTimer_ = std::move(Value);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    armed_ = false;
    if (interval_ != 0 && enabled_ && onTimer_) {
        armed_ = true;
        next_ = Clock::now() + std::chrono::milliseconds(interval_);
    }
}

bool TThreadTimer::DeliverDueTick(Clock::time_point Now) {
    if (!armed_ || Now < next_) return false;
    next_ = Now + std::chrono::milliseconds(interval_);
    Timer();
    return true;
}

void TThreadTimer::Timer() {
    // A tick runs inside some wait: an exception from its handler must not end that wait's
    // caller with a failure that has nothing to do with it.
    try {
        if (onTimer_) onTimer_(this);
    } catch (...) {
    }
}

// ---------------------------------------------------------------------------------------
// TPowersock

// The answer of one name lookup, shared with the worker thread that makes it. The worker
// keeps its own reference, so a transport that is gone (or has started another lookup) is
// never touched; the eventfd lives as long as the last reference.
struct TPowersock::Lookup {
    int Event = -1;
    std::mutex Mutex;
    int Error = 0;
    std::uint32_t Address = 0; // network byte order
    bool Pending = true;       // not yet dispatched to the transport

    ~Lookup() {
        if (Event >= 0) ::close(Event);
    }
};

int TPowersock::InstanceCount = 0;

TPowersock::TPowersock(TComponent* AOwner) : TComponent(AOwner), WorkArea(new char[WorkAreaSize]) {
    timer_ = std::make_unique<TThreadTimer>(this);
    timer_->SetEnabled(false);
    timer_->SetOnTimer([this](TObject* Sender) { TimerFired(Sender); });
    TimeOut = 0;
    Canceled = false;
    ShuttingDown = false;
    Connected = false;
    InitWinsock();
}

TPowersock::~TPowersock() {
    destroying_ = true;
    StatusMessage(8, "Destroy");
    try {
        Abort();
        Cancel();
    } catch (...) {
    }
    timer_.reset();
    lookup_.reset();
    ShuttingDown = true;
    try {
        RequestCloseSocket();
    } catch (...) {
    }
    --InstanceCount;
}

void TPowersock::InitWinsock() {
    StatusMessage(8, "Initializing Winsock");
    // There is no socket library to start here; the count is kept all the same.
    ++InstanceCount;
    try {
        socket_ = OpenSocket(true);
        if (socket_ < 0) {
            ErrorManager(WSAEWOULDBLOCK);
            throw ESockError("");
        }
    } catch (...) {
        --InstanceCount;
        throw ESockError("Initializaton of windows sockets failed");
    }
}

int TPowersock::OpenSocket(bool Linger) {
    linger_ = Linger;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        SetPendingError(errno);
        return -1;
    }
    if (Linger) {
        // The first connection of a transport ends with a reset, discarding unsent data.
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    // Commands are small writes each waiting for a reply; do not hold them back.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void TPowersock::SetPendingError(int Errnum) {
    // A send on a socket that never connected reports EPIPE here; it is "not connected".
    if (Errnum == EPIPE && !established_)
        WSASetLastError(WSAENOTCONN);
    else
        WSASetLastError(WinsockErrorOf(Errnum));
}

// --- Status and errors ---------------------------------------------------------------

void TPowersock::StatusMessage(std::uint8_t Level, const std::string& Text) {
    if (Level > ReportLevel) return;
    LastStatus = Text;
    if (destroying_ || !OnStatus) return;
    try {
        OnStatus(this, LastStatus);
    } catch (...) {
    }
}

std::string TPowersock::ErrorManager(std::uint16_t Ignore) {
    const int number = WSAGetLastError();
    LastErrorNo = number;
    if (number == Ignore || number <= 10000) return {};
    std::string text = SocketErrorStr(static_cast<std::uint16_t>(number));
    if (OnError) OnError(this, static_cast<std::uint16_t>(number), text);
    throw ESockError(text);
}

std::string TPowersock::SocketErrorStr(std::uint16_t Number) {
    StatusMessage(8, "Looking Up Error Message");
    if (Number == 0) return {};
    for (const ErrorRow& row : WinsockMessage)
        if (row.Number == Number) return std::to_string(Number) + ":" + row.Message;
    return "Unknown Error No. " + std::to_string(Number);
}

int TPowersock::GetLastErrorNo() {
    StatusMessage(8, "Getting LastError Number");
    return LastErrorNo;
}

void TPowersock::SetLastErrorNo(int Value) {
    StatusMessage(8, "Setting LastError Number");
    LastErrorNo = Value;
}

// --- Time-out and cancellation -------------------------------------------------------

void TPowersock::TimerOn() {
    StatusMessage(8, "Timer On");
    TimedOut = false;
    if (TimeOut < 0) throw ERangeError();
    timer_->SetInterval(static_cast<std::uint32_t>(TimeOut));
    timer_->SetEnabled(true);
}

void TPowersock::TimerOff() {
    StatusMessage(8, "Timer Off");
    timer_->SetEnabled(false);
}

void TPowersock::TimerFired(TObject*) {
    StatusMessage(8, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    LookupDone = true;
    Abort();
}

void TPowersock::Abort() {
    StatusMessage(8, "Abort");
    Cancel();
}

void TPowersock::Cancel() {
    StatusMessage(8, "Canceling");
    Canceled = true;
}

// --- Waits and notifications ---------------------------------------------------------

bool TPowersock::WaitDone(WaitKind Kind) const {
    switch (Kind) {
    case WaitKind::Lookup:
        return LookupDone || TimedOut || Canceled;
    case WaitKind::Connect:
        return Connected || TimedOut || Canceled || !LastEventOk;
    default:
        return Canceled;
    }
}

void TPowersock::Wait(WaitKind Kind, bool Block) {
    pollfd fds[2];
    nfds_t count = 0;
    int socketIndex = -1;
    int lookupIndex = -1;
    const bool notifications = Kind != WaitKind::Buffer;

    short events = 0;
    if (Kind == WaitKind::Buffer || Kind == WaitKind::Stream) events |= POLLOUT;
    if (Kind == WaitKind::Read) events |= POLLIN;
    if (notifications) {
        if (connectPending_) events |= POLLOUT;
        if (established_ && !closeNotified_) events |= POLLRDHUP;
    }
    // An idle socket (as during the lookup) reports a hang-up all the time: leave it out
    // unless something is expected of it.
    if (socket_ >= 0 && events != 0) {
        socketIndex = static_cast<int>(count);
        fds[count++] = {socket_, events, 0};
    }
    if (notifications && lookup_ && lookup_->Pending) {
        lookupIndex = static_cast<int>(count);
        fds[count++] = {lookup_->Event, POLLIN, 0};
    }

    int timeout = -1;
    if (!Block || WaitDone(Kind)) {
        timeout = 0;
    } else {
        if (timer_ && timer_->Armed()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(timer_->NextTick() -
                                                                     TThreadTimer::Clock::now());
            timeout = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
        }
        if (HasProcessMessagesHook())
            timeout = timeout < 0 ? PumpIntervalMs : std::min(timeout, PumpIntervalMs);
        if (count == 0 && timeout < 0) timeout = 50; // nothing to wait for: never block for good
    }

    int ready = ::poll(fds, count, timeout);
    if (ready > 0 && notifications) {
        if (lookupIndex >= 0 && fds[lookupIndex].revents) DispatchLookup();
        if (socketIndex >= 0 && fds[socketIndex].revents && fds[socketIndex].fd == socket_)
            DispatchSocket(fds[socketIndex].revents);
    }
    if (timer_) timer_->DeliverDueTick();
    ProcessMessages();
}

void TPowersock::DispatchLookup() {
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(lookup_->Event, &value, sizeof value);
    int error;
    {
        std::lock_guard lock(lookup_->Mutex);
        lookup_->Pending = false;
        error = lookup_->Error;
    }
    LastEventOk = error == 0;
    LookupDone = true;
}

void TPowersock::DispatchSocket(short Revents) {
    auto pendingError = [this] {
        int error = 0;
        socklen_t len = sizeof error;
        ::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &len);
        return error;
    };
    if (connectPending_) {
        if (Revents & (POLLOUT | POLLERR | POLLHUP)) {
            connectPending_ = false;
            ConnectNotification(WinsockErrorOf(pendingError()));
        }
        // A close right after the connection is seen on the next round.
        return;
    }
    if (established_ && !closeNotified_ && (Revents & (POLLRDHUP | POLLHUP | POLLERR))) {
        closeNotified_ = true;
        CloseNotification((Revents & POLLERR) ? WinsockErrorOf(pendingError()) : 0);
    }
}

void TPowersock::ConnectNotification(int Error) {
    LastEventOk = Error == 0;
    if (!LastEventOk) {
        attemptFailed_ = true;
        return;
    }
    established_ = true;
    Connected = true;
    try {
        if (OnConnect) OnConnect(this);
    } catch (...) {
    }
}

void TPowersock::CloseNotification(int Error) {
    LastEventOk = Error == 0;
    // With input still waiting the socket stays, so that it can be read; its end then shows
    // as an empty ReadLn.
    try {
        if (!DataAvailable()) RequestCloseSocket();
    } catch (...) {
    }
}

// --- Connecting ----------------------------------------------------------------------

void TPowersock::ResolveRemoteHost() {
    StatusMessage(8, "Resolve Host");
    // The name ends at its first zero byte, as a C text would.
    const std::string name(Host.c_str());
    const in_addr_t dotted = ::inet_addr(name.c_str());
    if (dotted != INADDR_NONE) {
        remoteAddress_ = dotted;
        return;
    }

    remoteAddress_ = 0;
    TimerOn();
    Finally off([this] { TimerOff(); });
    LookupDone = false;

    auto lookup = std::make_shared<Lookup>();
    lookup->Event = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (lookup->Event < 0) throw ESockError("Host Lookup Failed");
    try {
        std::thread([lookup, name] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* result = nullptr;
            const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
            const int error = rc != 0 ? WinsockLookupErrorOf(rc, errno) : 0;
            std::uint32_t address = 0;
            if (rc == 0) {
                address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
                ::freeaddrinfo(result);
            }
            {
                std::lock_guard lock(lookup->Mutex);
                lookup->Error = error;
                lookup->Address = address;
            }
            const std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(lookup->Event, &one, sizeof one);
        }).detach();
    } catch (const std::system_error&) {
        throw ESockError("Host Lookup Failed");
    }
    lookup_ = lookup;

    do
        Wait(WaitKind::Lookup, true);
    while (!LookupDone && !TimedOut && !Canceled);

    if (TimedOut) throw ESockError("Host Lookup Timed Out");
    if (Canceled) throw ESockError("Host Lookup Canceled");
    if (!LastEventOk) throw ESockError("Host Lookup Failed");
    {
        std::lock_guard lock(lookup->Mutex);
        remoteAddress_ = lookup->Address;
    }
    if (OnHostResolved) OnHostResolved(this);
}

void TPowersock::Connect() {
    StatusMessage(8, "Connecting");
    Canceled = false;
    if (Connected) throw ESockError("Already connected");

    for (bool retry = false;; retry = true) {
        try {
            ResolveRemoteHost();
        } catch (const ESockError& e) {
            if (e.Message() == "Host Lookup Timed Out" || e.Message() == "Host Lookup Canceled")
                throw;
            remoteAddress_ = 0;
        }
        if (remoteAddress_ != 0) break;
        if (retry || !OnInvalidHost) throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled) throw ESockError("Null Remote Address");
    }

    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(Port & 0xFFFF));
    remote.sin_addr.s_addr = remoteAddress_;

    // A socket whose earlier attempt failed or was given up cannot connect again here;
    // it is replaced by one of the same kind.
    if (connectPending_ || attemptFailed_) {
        ::close(socket_);
        socket_ = OpenSocket(linger_);
        connectPending_ = false;
        attemptFailed_ = false;
    }

    LookupDone = false;
    LastEventOk = true;
    if (::connect(socket_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        // An interrupted connect goes on in the background, like one in progress.
        SetPendingError(errno == EINTR ? EINPROGRESS : errno);
        ErrorManager(WSAEWOULDBLOCK);
    }
    connectPending_ = true;

    TimerOn();
    {
        Finally off([this] { TimerOff(); });
        do
            Wait(WaitKind::Connect, true);
        while (!Connected && !TimedOut && !Canceled && LastEventOk);
    }

    if (!TimedOut && !Canceled && LastEventOk) return;
    if (OnConnectionFailed) OnConnectionFailed(this);
    if (TimedOut) throw ESockError("Connection Timed out");
    if (Canceled) throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

void TPowersock::CertifyConnect() {
    StatusMessage(8, "Checking Connection");
    for (bool retry = false; !Connected; retry = true) {
        if (retry || !OnConnectionRequired) throw Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled) throw Exception("Not Connected");
    }
}

// --- Closing ---------------------------------------------------------------------------

void TPowersock::Disconnect() {
    StatusMessage(8, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::RequestCloseSocket() {
    StatusMessage(4, "Request Close Socket");
    Connected = false;
    if (socket_ < 0) return;
    const int rc = ::close(socket_);
    const int closeErrno = errno;
    socket_ = -1;
    connectPending_ = false;
    attemptFailed_ = false;
    established_ = false;
    closeNotified_ = false;
    // The descriptor is gone even when close reports EINTR.
    if (rc != 0 && closeErrno != EINTR) {
        SetPendingError(closeErrno);
        ErrorManager(WSAEWOULDBLOCK);
        return;
    }
    // The fresh socket is made even when OnDisconnect raises, so the transport stays usable.
    Finally fresh([this] {
        if (!ShuttingDown) socket_ = OpenSocket(false);
    });
    if (!destroying_ && OnDisconnect) OnDisconnect(this);
}

// --- Writing ---------------------------------------------------------------------------

void TPowersock::Write(const std::string& Text) {
    StatusMessage(8, "Write");
    std::size_t length = Text.find('\0');
    if (length == std::string::npos) length = Text.size();
    if (length > static_cast<std::size_t>(WorkAreaBlock)) throw ERangeError();
    std::memcpy(WorkArea.get(), Text.data(), length);
    WorkArea[length] = '\0';
    SendBuffer(WorkArea.get(), 0);
}

void TPowersock::Writeln(const std::string& Text) {
    StatusMessage(8, "Writeln");
    Write(Text + "\r\n");
}

void TPowersock::SendBuffer(const char* Data, std::uint16_t Length) {
    StatusMessage(4, "Sending Buffer");
    TimerOn();
    {
        Finally off([this] { TimerOff(); });
        if (!Canceled) {
            std::size_t length = Length;
            if (length == 0) {
                length = ::strnlen(Data, WorkAreaBlock);
                if (length > 65535) throw ERangeError();
            }
            std::size_t sent = 0;
            do {
                const ssize_t n = ::send(socket_, Data + sent, length - sent, MSG_NOSIGNAL);
                if (n == 0) break;
                if (n > 0) {
                    sent += static_cast<std::size_t>(n);
                } else if (errno != EINTR) {
                    SetPendingError(errno);
                    ErrorManager(WSAEWOULDBLOCK);
                    // The socket is full: wait until it takes more, the time-out or a cancel.
                    Wait(WaitKind::Buffer, true);
                }
            } while (sent < length && !Canceled);
        }
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

void TPowersock::SendStream(TStream& Stream) {
    StatusMessage(8, "SendStream");
    Stream.SetPosition(0);
    // A plain memory stream (the message body) is sent straight from its memory instead of
    // being copied block by block into WorkArea first; blocks, counts and events stay alike.
    TMemoryStream* const memory =
        typeid(Stream) == typeid(TMemoryStream) ? static_cast<TMemoryStream*>(&Stream) : nullptr;
    if (!Canceled) {
        const std::int64_t size = Stream.GetSize();
        BytesSent = 0;
        BytesTotal = static_cast<int>(size);
        do {
            const auto want = static_cast<std::int32_t>(
                std::min<std::int64_t>(size - Stream.GetPosition(), WorkAreaBlock));
            std::int64_t from = 0; // where the block starts in the memory or in WorkArea
            std::int32_t rest;
            if (memory != nullptr) {
                from = memory->GetPosition();
                rest = static_cast<std::int32_t>(
                    std::clamp<std::int64_t>(memory->Size() - from, 0, std::max(want, 0)));
                memory->Seek(rest, soFromCurrent);
            } else {
                rest = Stream.Read(WorkArea.get(), want);
            }
            do {
                if (memory != nullptr) {
                    // A handler run inside the wait may have changed the stream: never send
                    // beyond what it still holds. Nothing to send ends it, as a send of
                    // nothing would.
                    rest = static_cast<std::int32_t>(
                        std::clamp<std::int64_t>(memory->Size() - from, 0, rest));
                    if (rest == 0) return;
                }
                const char* block =
                    memory != nullptr ? memory->Memory() + from : WorkArea.get() + from;
                const ssize_t n = ::send(socket_, block,
                                         static_cast<std::size_t>(std::max(rest, 0)), MSG_NOSIGNAL);
                if (n == 0) return;
                bool blocked = false;
                if (n > 0) {
                    from += n;
                    rest -= static_cast<std::int32_t>(n);
                    BytesSent += static_cast<int>(n);
                    if (OnPacketSent) OnPacketSent(this);
                } else if (errno != EINTR) {
                    SetPendingError(errno);
                    ErrorManager(WSAEWOULDBLOCK);
                    blocked = true;
                }
                Wait(WaitKind::Stream, blocked);
            } while (rest > 0 && !Canceled);
        } while (Stream.GetPosition() != size && !Canceled);
    }
    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket send aborted");
    }
}

// --- Reading -------------------------------------------------------------------------

std::string TPowersock::ReadLn() {
    StatusMessage(8, "ReadLn");
    TimerOn();
    Finally off([this] { TimerOff(); });

    char* area = WorkArea.get();
    std::size_t taken = 0;   // bytes of this line already taken from the socket
    std::size_t lineEnd = 0; // length of the line through its LF, once found
    do {
        // The line so far sits at the start of WorkArea; a line that fills it without an LF
        // is refused before anything beyond it is taken.
        const std::size_t room = WorkAreaBlock - taken;
        if (room == 0) throw ERangeError();
        const ssize_t n = ::recv(socket_, area + taken, room, MSG_PEEK);
        bool idle = false;
        if (n == 0) return {};
        if (n > 0) {
            if (const void* lf = std::memchr(area + taken, '\n', static_cast<std::size_t>(n))) {
                lineEnd = static_cast<std::size_t>(static_cast<const char*>(lf) - area) + 1;
                break;
            }
            const ssize_t got = ::recv(socket_, area + taken, static_cast<std::size_t>(n), 0);
            if (got > 0) taken += static_cast<std::size_t>(got);
        } else if (errno == EINTR) {
            continue;
        } else {
            SetPendingError(errno);
            LastErrorNo = WSAGetLastError();
            if (LastErrorNo == WSAENOTCONN) return {};
            ErrorManager(WSAEWOULDBLOCK);
            idle = true;
        }
        Wait(WaitKind::Read, idle);
    } while (!Canceled);

    if (Canceled) {
        Canceled = false;
        throw EAbortError("Socket readln aborted");
    }
    while (taken < lineEnd) {
        const ssize_t got = ::recv(socket_, area + taken, lineEnd - taken, 0);
        if (got > 0) {
            taken += static_cast<std::size_t>(got);
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else {
            // The peeked bytes cannot vanish; if the socket says otherwise, report it.
            SetPendingError(got == 0 ? ECONNRESET : errno);
            ErrorManager(WSAEWOULDBLOCK);
            return {};
        }
    }
    return std::string(area, lineEnd);
}

std::string TPowersock::Transaction(const std::string& Command) {
    StatusMessage(8, "Transaction");
    ReplyNumber = 0;
    Writeln(Command);
    LastReply = ReadLn();
    if (!LastReply.empty()) {
        StatusMessage(1, LastReply);
        ReplyNumber = ReplyNumberOf(LastReply);
    }
    return LastReply;
}

bool TPowersock::DataAvailable() {
    StatusMessage(8, "Data Available");
    char byte;
    ssize_t n;
    do
        n = ::recv(socket_, &byte, 1, MSG_PEEK);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

void TPowersock::ClearInput() {
    StatusMessage(8, "Clearing Input");
    [[maybe_unused]] auto n = ::recv(socket_, WorkArea.get(), WorkAreaBlock, 0);
}

} // namespace quillo
