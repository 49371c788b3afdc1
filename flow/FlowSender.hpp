// FlowSender: `quarn flow --send FILE...`: puts files into the flow's queue as they are, each
// persistent and confirmed by the broker. A file counts as sent only once the broker confirmed it
// and did not return it (no queue took it); one it did not take is named in the failure, so a
// second run can send just those.
// One object per run, on the thread that owns it.
#pragma once

#include "flow/BrokerConnection.hpp"

#include <cstddef>

class FlowOptions;

class FlowSender {
public:
    // `connect` makes the one connection the sending needs.
    FlowSender(const FlowOptions& options, BrokerConnection::Factory connect) noexcept
        : iOptions(options), iConnect(std::move(connect)) {}

    // Sends the files of --send and returns how many went. Raises BrokerConnection::Error when the
    // broker cannot be reached or did not take every file (the error names those it did not take);
    // std::runtime_error when a file cannot be read: the files before it went (the error says how
    // many), none after it.
    std::size_t run();

private:
    const FlowOptions& iOptions;
    BrokerConnection::Factory iConnect;
};
