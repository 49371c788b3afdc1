// FlowRunner: the consuming loop of quarn flow. It takes messages from the flow's queue over one
// connection (at most the prefetch count unacknowledged) and publishes each outcome over a second
// one with publisher confirms; it acknowledges a message only once the broker has confirmed what
// was published for it, so a message is never lost, only perhaps published twice when a flow
// dies between the two. A message that fails, or that the broker cannot route, goes to the
// dead-letter queue instead. SIGTERM or SIGINT stops taking messages and settles those in
// flight; SIGUSR1 prints the counters. A lost connection is reported and made again, with a
// back-off from 0.5 s doubling up to 30 s. Any broker will do that a BrokerConnection speaks to.
// One object per run, on the thread that owns it.
#pragma once

#include "flow/BrokerConnection.hpp"
#include "flow/FlowTransform.hpp"

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

class FlowCounters;
class FlowOptions;
class KelParserInspector;

class FlowRunner {
public:
    // Header names a message may carry to give its page, and that a written message carries.
    static constexpr const char* kCcsidHeader = "quarn-ccsid";
    static constexpr const char* kEncodingHeader = "quarn-encoding";
    // The headers a dead letter carries besides its own, in this order; sending it back drops
    // these and no others, so it goes back with the headers it came with.
    static constexpr const char* kErrorHeaders[] = {"quarn-error-number", "quarn-error-text", "quarn-error-line",
                                                    "quarn-error-column", "quarn-error-queue"};

    // `connect` makes each connection to the broker: two a session, one to consume and one to publish.
    FlowRunner(const FlowOptions& options, BrokerConnection::Factory connect, const KelParserInspector& inspector,
               FlowCounters& counters, std::FILE* report, std::FILE* log);

    // Runs until stopped (signal, --max-messages, --idle-exit). Throws BrokerConnection::Error
    // when the broker refuses the flow (login, a queue or exchange): retrying would not help.
    void run();

    // SIGTERM and SIGINT ask the runner to stop; SIGUSR1 to print the counters.
    static void installSignalHandlers();

    // How long a stop waits for the confirms of the messages in flight (default 30 s, as long as
    // the connection waits for any answer). A broker that blocks publishers (a memory or disk
    // alarm) confirms nothing until the alarm ends; past this wait the stop gives up with
    // BrokerConnection::Error, the messages unacknowledged for the broker to deliver again.
    void setStopWait(double seconds) { iStopWait = seconds; }

private:
    struct Pending {
        std::uint64_t inputTag;
        BrokerMessage input;              // kept so that a returned message can be dead-lettered
        std::string key;
        std::uint64_t fingerprint;        // of the bytes published, to know the message if returned
        bool deadLetter = false;
        bool returned = false;
    };

    void session(bool& connected);
    void take(const BrokerMessage& delivery);
    void deadLetter(const BrokerMessage& delivery, long number, const std::string& text, long line,
                    long column);
    void confirmed(const BrokerConnection::Confirm& confirm);
    bool stopping() const;
    void waitForConfirmsOnStop();

    const FlowOptions& iOptions;
    BrokerConnection::Factory iConnect;
    FlowCounters& iCounters;
    std::FILE* iReport;
    std::FILE* iLog;
    FlowTransform iTransform;
    BrokerConnection* iConsumer = nullptr;
    BrokerConnection* iPublisher = nullptr;
    std::map<std::uint64_t, Pending> iPending;   // by publish sequence number
    double iLastDelivery = 0;                    // seconds on the steady clock
    double iStopWait = 30;
    double iStopSince = -1;                      // when the stop began, while messages were in flight
    bool iConnectedBefore = false;
    bool iDeadLetterGone = false;   // the broker returned a dead letter: its queue is made again
};
