#pragma once

#include "vacomm.h"

#include <functional>
#include <string>

// The text of the EVaCommError that `action` raises, for comparing with the
// component's exact messages.
inline std::string MessageOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EVaCommError& e) {
        return e.what();
    }
    return "(nothing raised)";
}
