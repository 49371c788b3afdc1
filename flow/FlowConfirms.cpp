#include "flow/FlowConfirms.hpp"

#include <chrono>

std::size_t FlowConfirms::publish(const std::string& exchange, const std::string& key,
                                  const BrokerConnection::Properties& properties, const void* body, std::size_t size) {
    const std::uint64_t sequence = iPublisher.publish(exchange, key, true, properties, body, size);
    Message m;
    m.key = key;
    m.fingerprint = BrokerConnection::fingerprint(body, size);
    iMessages.push_back(std::move(m));
    iBySequence[sequence] = iMessages.size() - 1;
    return iMessages.size() - 1;
}

void FlowConfirms::answer(std::size_t index, Outcome outcome,
                          const std::function<void(std::size_t, Outcome)>& onAnswer) {
    iMessages[index].outcome = outcome;
    if (onAnswer) onAnswer(index, outcome);
}

void FlowConfirms::wait(double seconds, const std::function<void(std::size_t, Outcome)>& onAnswer) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    auto onConfirm = [&](const BrokerConnection::Confirm& c) {
        if (c.kind == BrokerConnection::Confirm::Return) {
            // Its confirm follows; the first message not yet confirmed nor returned with that key
            // and those bytes is the one.
            for (const auto& [sequence, index] : iBySequence) {
                Message& m = iMessages[index];
                if (m.returned || !c.returns(m.key, m.fingerprint)) continue;
                m.returned = true;
                m.reason = c.reason;
                return;
            }
            return;
        }
        auto settle = [&](std::map<std::uint64_t, std::size_t>::iterator it) {
            const std::size_t index = it->second;
            const Outcome o = c.kind == BrokerConnection::Confirm::Nack ? Refused
                              : iMessages[index].returned               ? Returned
                                                                        : Taken;
            answer(index, o, onAnswer);
            return iBySequence.erase(it);
        };
        if (c.multiple) {
            for (auto it = iBySequence.begin(); it != iBySequence.end() && it->first <= c.sequence;) it = settle(it);
        } else {
            auto it = iBySequence.find(c.sequence);
            if (it != iBySequence.end()) settle(it);
        }
    };
    while (!iBySequence.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) break;
        iPublisher.readConfirms(static_cast<int>(left < 100 ? left : 100), onConfirm);
    }
}

std::size_t FlowConfirms::count(Outcome outcome) const noexcept {
    std::size_t n = 0;
    for (const Message& m : iMessages) n += m.outcome == outcome;
    return n;
}

std::string FlowConfirms::describe(std::size_t index) const {
    const Message& m = iMessages.at(index);
    switch (m.outcome) {
    case Taken: return "taken";
    case Refused: return "refused by the broker";
    case Returned: return "returned: no queue takes routing key " + m.key + " (" + m.reason + ")";
    case Unanswered: break;
    }
    return "not confirmed within the wait";
}
