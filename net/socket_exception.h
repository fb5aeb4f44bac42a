#pragma once
#include "exception.h"

// The exception of the socket layer; its message text is the whole report.
class ESocketException : public Exception {
public:
    using Exception::Exception;
};
