#include "tools/FlowRunner.hpp"

#include "tools/FlowCounters.hpp"
#include "tools/FlowOptions.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
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
long headerNumber(const AmqpConnection::Delivery& d, const char* name) {
    const amqp_field_value_t* v = d.header(name);
    if (!v) return -1;
    long long n = -1;
    switch (v->kind) {
    case AMQP_FIELD_KIND_I8: n = v->value.i8; break;
    case AMQP_FIELD_KIND_U8: n = v->value.u8; break;
    case AMQP_FIELD_KIND_I16: n = v->value.i16; break;
    case AMQP_FIELD_KIND_U16: n = v->value.u16; break;
    case AMQP_FIELD_KIND_I32: n = v->value.i32; break;
    case AMQP_FIELD_KIND_U32: n = v->value.u32; break;
    case AMQP_FIELD_KIND_I64: n = v->value.i64; break;
    case AMQP_FIELD_KIND_U64: n = v->value.u64 > 0x7fffffffULL ? -1 : static_cast<long long>(v->value.u64); break;
    case AMQP_FIELD_KIND_UTF8:
    case AMQP_FIELD_KIND_BYTES: {
        std::string text(static_cast<const char*>(v->value.bytes.bytes), v->value.bytes.len);
        char* end = nullptr;
        errno = 0;
        n = std::strtoll(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0) n = -1;
        break;
    }
    default: break;
    }
    if (n < 0 || n > 0x7fffffffLL) throw std::invalid_argument(std::string("header ") + name + " is not a number from 0 to 2147483647");
    return static_cast<long>(n);
}

amqp_table_entry_t entry(const char* name, long long value) {
    amqp_table_entry_t e{};
    e.key = amqp_cstring_bytes(name);
    e.value.kind = AMQP_FIELD_KIND_I64;
    e.value.value.i64 = value;
    return e;
}

amqp_table_entry_t entry(const char* name, const std::string& value) {
    amqp_table_entry_t e{};
    e.key = amqp_cstring_bytes(name);
    e.value.kind = AMQP_FIELD_KIND_UTF8;
    e.value.value.bytes = amqp_bytes_t{value.size(), const_cast<char*>(value.data())};
    return e;
}

// The input's properties with its headers, less the ones named in `replaced`, plus `added`.
// `entries` holds the table the result points to.
amqp_basic_properties_t withHeaders(const AmqpConnection::Delivery& d, const std::vector<amqp_table_entry_t>& added,
                                    std::vector<amqp_table_entry_t>& entries) {
    amqp_basic_properties_t p = d.properties();
    entries.clear();
    if (p._flags & AMQP_BASIC_HEADERS_FLAG) {
        for (int i = 0; i < p.headers.num_entries; ++i) {
            const amqp_table_entry_t& e = p.headers.entries[i];
            bool replaced = false;
            for (const amqp_table_entry_t& a : added)
                replaced = replaced || (a.key.len == e.key.len && std::memcmp(a.key.bytes, e.key.bytes, e.key.len) == 0);
            if (!replaced) entries.push_back(e);
        }
    }
    entries.insert(entries.end(), added.begin(), added.end());
    p._flags |= AMQP_BASIC_HEADERS_FLAG;
    p.headers.num_entries = static_cast<int>(entries.size());
    p.headers.entries = entries.empty() ? nullptr : entries.data();
    return p;
}
} // namespace

FlowRunner::FlowRunner(const FlowOptions& options, const KelParserInspector& inspector, FlowCounters& counters,
                       std::FILE* report, std::FILE* log)
    : iOptions(options), iCounters(counters), iReport(report), iLog(log), iTransform(options, inspector) {}

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
        } catch (const AmqpConnection::Error& e) {
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
                throw AmqpConnection::Error(std::string(e.what()) + "; no broker for " +
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
    const AmqpConnection::Address address = AmqpConnection::Address::parse(iOptions.broker);
    AmqpConnection consumer(address);
    AmqpConnection publisher(address);
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
        std::fprintf(iLog, "quarn flow: consuming from %s at %s\n", iOptions.queue.c_str(), address.text().c_str());
        std::fflush(iLog);
    } else {
        std::fprintf(iLog, "quarn flow: connected again to %s\n", address.text().c_str());
        std::fflush(iLog);
    }

    auto onConfirm = [this](const AmqpConnection::Confirm& c) { confirmed(c); };
    for (;;) {
        if (gReport) {
            gReport = 0;
            iCounters.print(iReport, iOptions.json);
        }
        const bool stop = stopping();
        if (stop && iPending.empty()) return;
        const bool canTake = !stop && iPending.size() < static_cast<std::size_t>(iOptions.prefetch);
        if (!(canTake && consumer.hasBuffered()) && !publisher.hasBuffered()) {
            // The publishing connection is watched even when idle: a close there is seen at once.
            pollfd fds[2];
            nfds_t n = 0;
            fds[n++] = pollfd{publisher.socket(), POLLIN, 0};
            if (canTake) fds[n++] = pollfd{consumer.socket(), POLLIN, 0};
            if (::poll(fds, n, kWaitMs) < 0 && errno != EINTR)
                throw AmqpConnection::Error(std::string("waiting for the broker: ") + std::strerror(errno), true);
        }
        // Read even with nothing in flight: reading is what keeps the connection's heartbeats going.
        publisher.readConfirms(0, onConfirm);
        AmqpConnection::Delivery delivery;
        if (canTake && consumer.nextDelivery(0, delivery)) take(delivery);
    }
}

void FlowRunner::take(const AmqpConnection::Delivery& d) {
    iLastDelivery = now();
    iCounters.received(d.size(), d.redelivered());
    long ccsid = -1, encoding = -1;
    try {
        ccsid = headerNumber(d, kCcsidHeader);
        encoding = headerNumber(d, kEncodingHeader);
    } catch (const std::invalid_argument& e) {
        deadLetter(d, 0, e.what(), 0, 0);
        return;
    }
    const FlowTransform::Outcome o =
        iTransform.process(d.body(), d.size(), static_cast<int>(ccsid), static_cast<int>(encoding), d.envelope);
    if (o.deadLetter) {
        deadLetter(d, o.errorNumber, o.errorText, o.errorLine, o.errorColumn);
        return;
    }
    std::vector<amqp_table_entry_t> entries;
    std::vector<amqp_table_entry_t> added;
    // A message written anew says its page; one passed through keeps its headers as they were.
    if (o.rewritten) added = {entry(kCcsidHeader, o.ccsid), entry(kEncodingHeader, o.encoding)};
    const amqp_basic_properties_t properties = o.rewritten ? withHeaders(d, added, entries) : d.properties();
    const std::uint64_t sequence =
        iPublisher->publish(iOptions.exchange, o.key, true, properties, o.data, o.size);
    iPending[sequence] = Pending{d.tag(), d, o.key, false, false};
    iCounters.routed(o.key, o.bytesCopied, o.bytesRewritten, o.size);
}

void FlowRunner::deadLetter(const AmqpConnection::Delivery& d, long number, const std::string& text, long line,
                            long column) {
    const std::string shortText = text.size() > kMaxErrorText ? text.substr(0, kMaxErrorText) : text;
    std::vector<amqp_table_entry_t> entries;
    const std::vector<amqp_table_entry_t> added = {
        entry("quarn-error-number", number), entry("quarn-error-text", shortText),
        entry("quarn-error-line", line),     entry("quarn-error-column", column),
        entry("quarn-error-queue", iOptions.queue)};
    const amqp_basic_properties_t properties = withHeaders(d, added, entries);
    const std::uint64_t sequence = iPublisher->publish(std::string(), iOptions.deadLetter, true, properties, d.body(), d.size());
    iPending[sequence] = Pending{d.tag(), d, iOptions.deadLetter, true, false};
    iCounters.deadLettered(d.size());
}

void FlowRunner::confirmed(const AmqpConnection::Confirm& c) {
    if (c.kind == AmqpConnection::Confirm::Return) {
        // Returned before its confirm: the first message in flight under that key not yet returned.
        for (auto& [sequence, p] : iPending) {
            if (p.returned || p.key != c.routingKey) continue;
            p.returned = true;
            if (p.deadLetter) {
                // Even the dead-letter queue is gone: the message goes back to its queue.
                iConsumer->reject(p.inputTag, true);
                iCounters.requeued();
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
            if (c.kind == AmqpConnection::Confirm::Ack) {
                iConsumer->ack(p.inputTag);
                iCounters.settled();
            } else {
                // The broker lost the copy: the input goes back to be taken again.
                iConsumer->reject(p.inputTag, true);
                iCounters.requeued();
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
