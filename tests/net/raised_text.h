#pragma once
// The text of the ESocketException a call raises, to compare failure reports whole.
#include "socket_exception.h"

#include <functional>
#include <string>

inline std::string RaisedText(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const ESocketException& e) {
        return e.what();
    }
    return "(nothing raised)";
}
