#pragma once

#include <exception>
#include <string>

// The base of every failure the system raises. The message is the text a
// technician reads in the error box, so it is kept exactly as given.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    ~Exception() override;

    const std::string &Message() const noexcept { return message_; }
    const char *what() const noexcept override { return message_.c_str(); }
    // More for the error box's details (the system's words, a remedy); often empty.
    const std::string &Details() const noexcept { return details_; }
    // A line under the message naming what was tried (an address); often empty.
    const std::string &Informative() const noexcept { return informative_; }
    void SetInformative(std::string text) { informative_ = std::move(text); }

protected:
    void SetMessage(std::string message) { message_ = std::move(message); }
    void SetDetails(std::string details) { details_ = std::move(details); }

private:
    std::string message_;
    std::string details_;
    std::string informative_;
};

// The final "." the default error handler adds when the message's last byte
// sorts above "." (a message ending in a letter gets one, ")" or "." not).
std::string WithFinalFullStop(const std::string &message);
