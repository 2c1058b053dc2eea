// Test support: the message of the exception of type Exception that `action` throws.
#pragma once

#include <string>

template <typename Exception, typename Action>
std::string messageOf(Action action) {
    try {
        action();
    } catch (const Exception& error) {
        return error.what();
    }
    return "(nothing thrown)";
}
