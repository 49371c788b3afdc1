// UsageError: a request the user must change (a malformed option, a setting, an edit whose path
// names nothing), with a message for the user; the command prints it with its usage and exits 2.
// A value type.
#pragma once

#include <stdexcept>

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
