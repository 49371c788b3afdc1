// FlowCounters: what a quarn flow has done since it started, counted per message: received,
// settled (acknowledged after the broker confirmed the output), routed per key, dead-lettered,
// redelivered (possible duplicates: the broker gives a message again when an earlier consumer
// may have published it before it was acknowledged), handed back to the queue, bytes in, bytes
// copied from the input and bytes written anew, connections lost; and messages per second.
// Printed as text or JSON. A plain value; one thread at a time.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

class FlowCounters {
public:
    FlowCounters() : iStart(std::chrono::steady_clock::now()) {}

    void received(std::size_t bytes, bool redelivered);
    void routed(const std::string& key, long copied, long rewritten, std::size_t bytesOut);
    void deadLettered(std::size_t bytes);
    // A routed message the broker could not place (it is dead-lettered instead).
    void unrouted(const std::string& key);
    // A dead letter the broker refused (the input goes back to its queue instead).
    void deadLetterRefused() {
        if (iDeadLettered) --iDeadLettered;
    }
    void requeued() { ++iRequeued; }
    void settled();
    void connectionLost() { ++iConnectionsLost; }

    unsigned long receivedCount() const noexcept { return iReceived; }
    unsigned long settledCount() const noexcept { return iSettled; }
    unsigned long deadLetteredCount() const noexcept { return iDeadLettered; }
    unsigned long redeliveredCount() const noexcept { return iRedelivered; }
    const std::map<std::string, unsigned long>& routedByKey() const noexcept { return iRouted; }
    // Settled messages per second, from the first message received to the last one settled.
    double messagesPerSecond() const;

    void print(std::FILE* out, bool json) const;

private:
    std::chrono::steady_clock::time_point iStart, iFirst, iLast;
    bool iAny = false;
    unsigned long iReceived = 0, iSettled = 0, iDeadLettered = 0, iRedelivered = 0, iRequeued = 0;
    unsigned long iConnectionsLost = 0;
    unsigned long long iBytesIn = 0, iBytesOut = 0, iBytesCopied = 0, iBytesRewritten = 0;
    std::map<std::string, unsigned long> iRouted;
};
