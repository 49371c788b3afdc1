// UnknownOption: an option a subcommand does not take; the command adds the closest one it does
// take to the message. A value type.
#pragma once

#include "cli/UsageError.hpp"

#include <string>

struct UnknownOption : UsageError {
    UnknownOption(const std::string& opt, const std::string& subcommand, const std::string& suggestion = "")
        : UsageError("unknown option '" + opt + "' for quarn " + subcommand + suggestion), option(opt) {}
    std::string option;
};
