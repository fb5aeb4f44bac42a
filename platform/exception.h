#pragma once
// The base of the system's own exceptions. Its message text is the whole report; the
// application shows it in a message box when one escapes an event handler.
#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message_(std::move(message)) {}
    const char* what() const noexcept override { return Message_.c_str(); }
    const std::string& Message() const noexcept { return Message_; }

private:
    std::string Message_;
};
