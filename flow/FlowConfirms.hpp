// FlowConfirms: a batch of messages published with the broker's confirms, and what the broker said
// of each, for the commands that publish and then wait (--send, --dead-letters --requeue). A
// message is taken only when the broker confirmed it and did not return it: a mandatory message
// that no queue takes comes back, and is confirmed all the same, so a confirm alone says nothing.
// A return names its message by key and bytes (BrokerConnection::Confirm::returns).
// One object per batch, on the thread that owns the connection.
#pragma once

#include "flow/BrokerConnection.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

class FlowConfirms {
public:
    enum Outcome { Unanswered, Taken, Refused, Returned };

    // `publisher` must have its confirms selected.
    explicit FlowConfirms(BrokerConnection& publisher) noexcept : iPublisher(publisher) {}

    // Publishes one message, mandatory; returns its index in the batch, from 0.
    std::size_t publish(const std::string& exchange, const std::string& key,
                        const BrokerConnection::Properties& properties, const void* body, std::size_t size);
    // Reads the broker's answers until every message has one or `seconds` have passed; tells
    // `onAnswer` the index and outcome of each message as its answer comes.
    void wait(double seconds, const std::function<void(std::size_t, Outcome)>& onAnswer = {});

    std::size_t size() const noexcept { return iMessages.size(); }
    Outcome outcome(std::size_t index) const { return iMessages.at(index).outcome; }
    std::size_t count(Outcome outcome) const noexcept;
    // What a message's outcome was, in words: "refused by the broker", "returned: no queue takes
    // routing key K (312 NO_ROUTE)", "not confirmed within the wait", "taken".
    std::string describe(std::size_t index) const;

private:
    struct Message {
        std::string key;
        std::uint64_t fingerprint = 0;
        bool returned = false;
        std::string reason;   // the broker's, for a return
        Outcome outcome = Unanswered;
    };
    void answer(std::size_t index, Outcome outcome, const std::function<void(std::size_t, Outcome)>& onAnswer);

    BrokerConnection& iPublisher;
    std::vector<Message> iMessages;
    std::map<std::uint64_t, std::size_t> iBySequence;   // messages not yet confirmed
};
