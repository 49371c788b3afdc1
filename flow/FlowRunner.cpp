#include "flow/FlowRunner.hpp"

#include "flow/FlowCounters.hpp"
#include "flow/FlowOptions.hpp"
#include "host/KelEncodingDetector.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {
volatile std::sig_atomic_t gStop = 0;
volatile std::sig_atomic_t gReport = 0;

extern "C" void onStop(int) { gStop = 1; }
extern "C" void onReport(int) { gReport = 1; }

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr int kWaitMs = 200;
constexpr std::size_t kMaxErrorText = 4000;

// A header's number, or -1 when the header is absent. Throws std::invalid_argument when present
// but not a number from 0 to 2^31-1.
long headerNumber(const BrokerMessage& d, const char* name) {
    const BrokerMessage::Value* v = d.header(name);
    if (!v) return -1;
    long long n = -1;
    if (v->kind == BrokerMessage::Value::Number) {
        n = v->number;
    } else if (v->kind == BrokerMessage::Value::Text) {
        char* end = nullptr;
        errno = 0;
        n = std::strtoll(v->text.c_str(), &end, 10);
        // Decimal digits and nothing else: strtoll alone took a leading space or sign, and stopped
        // at a zero byte, so that "1208<NUL>junk" read as 1208.
        const bool digits = !v->text.empty() && v->text.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || end != v->text.c_str() + v->text.size() || errno != 0) n = -1;
    }
    if (n < 0 || n > 0x7fffffffLL) throw std::invalid_argument(std::string("header ") + name + " is not a number from 0 to 2147483647");
    return static_cast<long>(n);
}
} // namespace

FlowRunner::FlowRunner(const FlowOptions& options, BrokerConnection::Factory connect,
                       const KelParserInspector& inspector, FlowCounters& counters, std::FILE* report, std::FILE* log)
    : iOptions(options), iConnect(std::move(connect)), iCounters(counters), iReport(report), iLog(log), iTransform(options, inspector) {}

void FlowRunner::installSignalHandlers() {
    struct sigaction stop {};
    stop.sa_handler = onStop;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    struct sigaction report {};
    report.sa_handler = onReport;
    sigemptyset(&report.sa_mask);
    report.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &report, nullptr);
    // A broker that goes away mid-write must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
}

bool FlowRunner::stopping() const {
    if (gStop) return true;
    if (iOptions.maxMessages > 0 && iCounters.receivedCount() >= static_cast<unsigned long>(iOptions.maxMessages))
        return true;
    return iOptions.idleExit > 0 && now() - iLastDelivery > iOptions.idleExit;
}

void FlowRunner::run() {
    double backOff = 0.5;
    iLastDelivery = now();
    double unreachableSince = -1;   // when the broker was last lost, while it stays out of reach
    while (!gStop) {
        bool connected = false;
        try {
            session(connected);
            return;
        } catch (const BrokerConnection::Error& e) {
            if (!e.lost) throw;
            // What was in flight is not acknowledged: the broker gives it again.
            iPending.clear();
            iCounters.connectionLost();
            if (connected) {
                backOff = 0.5;
                unreachableSince = -1;
            }
            if (unreachableSince < 0) unreachableSince = now();
            // A flow told to stop when idle does not wait for ever for a broker it cannot reach
            // (a wrong address, say): once the back-off has outlasted the idle time, it gives up.
            if (iOptions.idleExit > 0 && now() - unreachableSince >= iOptions.idleExit)
                throw BrokerConnection::Error(std::string(e.what()) + "; no broker for " +
                                                std::to_string(static_cast<long>(now() - unreachableSince)) +
                                                " s, more than --idle-exit allows",
                                            false);
            std::fprintf(iLog, "quarn flow: %s; connecting again in %.1f s\n", e.what(), backOff);
            std::fflush(iLog);
        }
        for (double waited = 0; waited < backOff && !gStop; waited += 0.1)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        backOff = backOff * 2 > 30 ? 30 : backOff * 2;
        // Waiting for the broker is not idling: the idle time counts from the connection.
        iLastDelivery = now();
    }
}

void FlowRunner::session(bool& connected) {
    const std::unique_ptr<BrokerConnection> consumerConnection = iConnect();
    const std::unique_ptr<BrokerConnection> publisherConnection = iConnect();
    BrokerConnection& consumer = *consumerConnection;
    BrokerConnection& publisher = *publisherConnection;
    iConsumer = &consumer;
    iPublisher = &publisher;
    struct Forget {
        FlowRunner* r;
        ~Forget() { r->iConsumer = r->iPublisher = nullptr; }
    } forget{this};

    publisher.selectConfirms();
    consumer.declareQueue(iOptions.queue);
    publisher.declareQueue(iOptions.deadLetter);
    if (iOptions.exchange.empty()) {
        // On the default exchange a key is a queue: made here, so that nothing routed is lost.
        publisher.declareQueue(iOptions.router.defaultKey());
        for (const FlowRouter::Rule& r : iOptions.router.rules()) publisher.declareQueue(r.key);
    }
    consumer.prefetch(static_cast<std::uint16_t>(iOptions.prefetch));
    consumer.consume(iOptions.queue);
    connected = true;
    if (!iConnectedBefore) {
        iConnectedBefore = true;
        std::fprintf(iLog, "quarn flow: consuming from %s at %s\n", iOptions.queue.c_str(), consumer.where().c_str());
        std::fflush(iLog);
    } else {
        std::fprintf(iLog, "quarn flow: connected again to %s\n", consumer.where().c_str());
        std::fflush(iLog);
    }

    auto onConfirm = [this](const BrokerConnection::Confirm& c) { confirmed(c); };
    for (;;) {
        if (gReport) {
            gReport = 0;
            iCounters.print(iReport, iOptions.json);
        }
        if (iDeadLetterGone) {
            // Deleted while the flow ran: without it every failing message came straight back,
            // thousands of times a second. Made again, as when the flow starts.
            iDeadLetterGone = false;
            publisher.declareQueue(iOptions.deadLetter);
            std::fprintf(iLog, "quarn flow: made the dead-letter queue %s again\n", iOptions.deadLetter.c_str());
            std::fflush(iLog);
        }
        const bool stop = stopping();
        if (stop && iPending.empty()) return;
        if (stop) waitForConfirmsOnStop();
        const bool canTake = !stop && iPending.size() < static_cast<std::size_t>(iOptions.prefetch);
        if (!(canTake && consumer.hasBuffered()) && !publisher.hasBuffered()) {
            // The publishing connection is watched even when idle: a close there is seen at once.
            pollfd fds[2];
            nfds_t n = 0;
            fds[n++] = pollfd{publisher.socket(), POLLIN, 0};
            if (canTake) fds[n++] = pollfd{consumer.socket(), POLLIN, 0};
            if (::poll(fds, n, kWaitMs) < 0 && errno != EINTR)
                throw BrokerConnection::Error(std::string("waiting for the broker: ") + std::strerror(errno), true);
        }
        // Read even with nothing in flight: reading is what keeps the connection's heartbeats going.
        publisher.readConfirms(0, onConfirm);
        BrokerMessage delivery;
        if (canTake && consumer.next(0, delivery)) take(delivery);
        // Unread, the consuming connection sends no heartbeats: a broker blocking publishers for
        // longer than a minute would drop it and deliver its messages again, to be published twice.
        if (!canTake) consumer.keepAlive();
    }
}

void FlowRunner::waitForConfirmsOnStop() {
    if (iStopSince < 0) {
        iStopSince = now();
        std::fprintf(iLog, "quarn flow: stopping; waiting for the broker to confirm %zu message%s in flight\n",
                     iPending.size(), iPending.size() == 1 ? "" : "s");
        std::fflush(iLog);
    }
    if (now() - iStopSince < iStopWait) return;
    // Waiting on would wait for as long as the broker blocks publishers, without a word; the
    // inputs stay unacknowledged, so nothing is lost: the broker delivers them again.
    const std::size_t n = iPending.size();
    throw BrokerConnection::Error(
        "stopped with " + std::to_string(n) + " message" + (n == 1 ? "" : "s") + " in flight that the broker did not confirm within " +
            std::to_string(static_cast<long>(iStopWait)) +
            " s (does it block publishers for a memory or disk alarm?); they are not acknowledged, so the broker "
            "delivers them again, and what was published for them may be published twice",
        false);
}

void FlowRunner::take(const BrokerMessage& d) {
    iLastDelivery = now();
    iCounters.received(d.size, d.redelivered);
    long ccsid = -1, encoding = -1;
    try {
        ccsid = headerNumber(d, kCcsidHeader);
        encoding = headerNumber(d, kEncodingHeader);
        // Held to the rule the command's --encoding and the flow's own setting are held to.
        if (encoding >= 0 && !KelEncodingDetector::namesByteOrder(static_cast<int>(encoding)))
            throw std::invalid_argument(std::string("header ") + kEncodingHeader + " " + std::to_string(encoding) + ": " +
                                        KelEncodingDetector::kByteOrderRule);
    } catch (const std::invalid_argument& e) {
        deadLetter(d, 0, e.what(), 0, 0);
        return;
    }
    const FlowTransform::Outcome o =
        iTransform.process(d.body, d.size, static_cast<int>(ccsid), static_cast<int>(encoding), d.native);
    if (o.deadLetter) {
        deadLetter(d, o.errorNumber, o.errorText, o.errorLine, o.errorColumn);
        return;
    }
    BrokerConnection::Properties properties;
    properties.like = &d;
    // A message written anew says its page; one passed through keeps its headers as they were.
    if (o.rewritten)
        properties.set = {{kCcsidHeader, BrokerMessage::Value::of(o.ccsid)},
                          {kEncodingHeader, BrokerMessage::Value::of(o.encoding)}};
    std::uint64_t sequence = 0;
    try {
        sequence = iPublisher->publish(iOptions.exchange, o.key, true, properties, o.data, o.size);
    } catch (const BrokerConnection::TooLarge& e) {
        // Headers near the frame's size, with the page headers added, cannot go out: a dead
        // letter, with the headers it came with.
        deadLetter(d, 0, std::string("the message routed to ") + o.key + " cannot be published: " + e.what(), 0, 0);
        return;
    }
    iPending[sequence] = Pending{d.tag, d, o.key, BrokerConnection::fingerprint(o.data, o.size), false, false};
    iCounters.routed(o.key, o.bytesCopied, o.bytesRewritten, o.size);
}

void FlowRunner::deadLetter(const BrokerMessage& d, long number, const std::string& text, long line,
                            long column) {
    // Cut between characters: a header that is not UTF-8 fails the consumers that decode it.
    std::size_t cut = std::min(text.size(), kMaxErrorText);
    while (cut < text.size() && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    const std::string shortText = text.substr(0, cut);
    using Value = BrokerMessage::Value;
    BrokerConnection::Properties properties;
    properties.like = &d;
    properties.set = {{kErrorHeaders[0], Value::of(number)}, {kErrorHeaders[1], Value::of(shortText)},
                      {kErrorHeaders[2], Value::of(line)},   {kErrorHeaders[3], Value::of(column)},
                      {kErrorHeaders[4], Value::of(iOptions.queue)}};
    std::uint64_t sequence = 0;
    try {
        sequence = iPublisher->publish(std::string(), iOptions.deadLetter, true, properties, d.body, d.size);
    } catch (const BrokerConnection::TooLarge& e) {
        // The message's own headers leave too little room for the error's text: it goes without
        // it (the number, place and queue still say what failed). Without room even for those, it
        // stays in its queue and the flow stops, for taking it again would fail again.
        properties.set[1].second = Value::of(std::string());
        try {
            sequence = iPublisher->publish(std::string(), iOptions.deadLetter, true, properties, d.body, d.size);
        } catch (const BrokerConnection::TooLarge&) {
            throw BrokerConnection::Error("a message of " + std::to_string(d.size) + " bytes in " + iOptions.queue +
                                              " cannot be dead-lettered: " + e.what() +
                                              ", even without the error's text; it stays in " + iOptions.queue +
                                              " (its error: " + shortText + ")",
                                          false);
        }
    }
    iPending[sequence] = Pending{d.tag, d, iOptions.deadLetter, BrokerConnection::fingerprint(d.body, d.size), true, false};
    iCounters.deadLettered(d.size);
}

void FlowRunner::confirmed(const BrokerConnection::Confirm& c) {
    if (c.kind == BrokerConnection::Confirm::Return) {
        // Returned before its confirm, but not always before the confirms of those published
        // ahead of it: the first message in flight with that key and those bytes not yet returned.
        for (auto& [sequence, p] : iPending) {
            if (p.returned || !c.returns(p.key, p.fingerprint)) continue;
            p.returned = true;
            if (p.deadLetter) {
                // Even the dead-letter queue is gone: the message goes back to its queue, to be
                // taken again once the queue is made again.
                iConsumer->reject(p.inputTag, true);
                iCounters.requeued();
                iCounters.deadLetterRefused();   // counted again when it is taken again
                iDeadLetterGone = true;
                std::fprintf(iLog, "quarn flow: the dead-letter queue %s takes no message (%s)\n",
                             iOptions.deadLetter.c_str(), c.reason.c_str());
                std::fflush(iLog);
            } else {
                iCounters.unrouted(p.key);
                deadLetter(p.input, 0, "no queue takes routing key " + p.key + " (" + c.reason + ")", 0, 0);
            }
            return;
        }
        return;
    }
    auto settle = [&](std::map<std::uint64_t, Pending>::iterator it) {
        Pending& p = it->second;
        if (!p.returned) {
            if (c.kind == BrokerConnection::Confirm::Ack) {
                iConsumer->ack(p.inputTag);
                iCounters.settled();
            } else {
                // The broker lost the copy: the input goes back to be taken again, and what was
                // counted for the copy is taken back, for it will be counted when it is taken again.
                iConsumer->reject(p.inputTag, true);
                iCounters.requeued();
                if (p.deadLetter)
                    iCounters.deadLetterRefused();
                else
                    iCounters.unrouted(p.key);
            }
        }
        return iPending.erase(it);
    };
    if (c.multiple) {
        for (auto it = iPending.begin(); it != iPending.end() && it->first <= c.sequence;) it = settle(it);
    } else {
        auto it = iPending.find(c.sequence);
        if (it != iPending.end()) settle(it);
    }
}
