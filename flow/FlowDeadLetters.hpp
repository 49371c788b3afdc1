// FlowDeadLetters: what an operator does with a flow's dead-letter queue without an AMQP client
// of their own: list the messages waiting there with the error each carries (the quarn-error-*
// headers the flow added), and send them back to the flow's input queue once the fault is mended,
// without those headers. Listing leaves every message where it was; a message sent back is taken
// off the dead-letter queue only once the broker confirmed it in the input queue.
// Owns its connections for the length of run(). Thread rules: one thread.
#pragma once

#include "flow/BrokerConnection.hpp"

#include <cstdint>
#include <cstdio>
#include <vector>

class FlowConfirms;
class FlowOptions;

class FlowDeadLetters {
public:
    // `connect` makes the connections to the broker (two: one to read, one to send back).
    FlowDeadLetters(const FlowOptions& options, BrokerConnection::Factory connect, std::FILE* out) noexcept
        : iOptions(options), iConnect(std::move(connect)), iOut(out) {}

    // Lists (and with `requeue` sends back) what waits in the dead-letter queue; returns how
    // many. Raises BrokerConnection::Error when the broker cannot be reached or refuses.
    long run(bool requeue);

private:
    void list(BrokerConnection& consumer, std::uint32_t waiting, bool requeue, FlowConfirms& sending,
              std::vector<std::uint64_t>& sent, long& listed);

    const FlowOptions& iOptions;
    BrokerConnection::Factory iConnect;
    std::FILE* iOut;
};
