#pragma once

#include <string>

// Root of every exception the system throws. It names the source unit that
// threw it, the line, and the message text shown to the user. Thrown by value,
// caught by reference.
class Exception {
public:
    Exception(std::string source, int line, std::string message)
        : source_(std::move(source)), line_(line), message_(std::move(message)) {}

    const std::string& source() const { return source_; }
    int line() const { return line_; }
    const std::string& message() const { return message_; }

private:
    std::string source_;
    int line_;
    std::string message_;
};

namespace Network {
class AddressInUseException : public Exception {
    using Exception::Exception;
};
class CouldNotCreateListenerException : public Exception {
    using Exception::Exception;
};
class FailedToEnumerateNetworkException : public Exception {
    using Exception::Exception;
};
} // namespace Network

namespace Vorn {
class UnknownFrameIdException : public Exception {
    using Exception::Exception;
};
class CongestionWaitTimeoutException : public Exception {
    using Exception::Exception;
};
} // namespace Vorn
