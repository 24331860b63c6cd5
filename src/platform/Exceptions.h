// Failures are exceptions carrying a message text, byte for byte as the user sees it.
#pragma once

#include <exception>
#include <string>

namespace quillo {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& Message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A file cannot be opened; the message names the file.
class EFOpenError : public Exception {
public:
    using Exception::Exception;
};

// A text is not a number.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A stream fault.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

// A value outside the range its type allows.
class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
    using Exception::Exception;
};

} // namespace quillo
