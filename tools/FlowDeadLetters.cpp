#include "tools/FlowDeadLetters.hpp"

#include "tools/AmqpConnection.hpp"
#include "tools/FlowOptions.hpp"
#include "tools/TreePrinter.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kErrorPrefix[] = "quarn-error-";

std::string text(const amqp_field_value_t* v) {
    if (v == nullptr) return std::string();
    switch (v->kind) {
    case AMQP_FIELD_KIND_UTF8:
    case AMQP_FIELD_KIND_BYTES:
        return std::string(static_cast<const char*>(v->value.bytes.bytes), v->value.bytes.len);
    case AMQP_FIELD_KIND_I64: return std::to_string(v->value.i64);
    case AMQP_FIELD_KIND_I32: return std::to_string(v->value.i32);
    default: return std::string();
    }
}

// The message's properties without the headers the flow added when it dead-lettered it;
// `entries` holds the table the result points to.
amqp_basic_properties_t withoutErrorHeaders(const AmqpConnection::Delivery& d, std::vector<amqp_table_entry_t>& entries) {
    amqp_basic_properties_t p = d.properties();
    entries.clear();
    if (p._flags & AMQP_BASIC_HEADERS_FLAG)
        for (int i = 0; i < p.headers.num_entries; ++i) {
            const amqp_table_entry_t& e = p.headers.entries[i];
            const std::size_t n = sizeof kErrorPrefix - 1;
            if (e.key.len >= n && std::memcmp(e.key.bytes, kErrorPrefix, n) == 0) continue;
            entries.push_back(e);
        }
    p.headers.num_entries = static_cast<int>(entries.size());
    p.headers.entries = entries.empty() ? nullptr : entries.data();
    if (entries.empty()) p._flags &= ~AMQP_BASIC_HEADERS_FLAG;
    return p;
}

} // namespace

long FlowDeadLetters::run(bool requeue) {
    const AmqpConnection::Address address = AmqpConnection::Address::parse(iOptions.broker);
    AmqpConnection consumer(address);
    const std::uint32_t waiting = consumer.queueDepth(iOptions.deadLetter);
    if (waiting == 0) {
        if (!iOptions.json) std::fprintf(iOut, "no dead letters in %s\n", iOptions.deadLetter.c_str());
        return 0;
    }
    // Every message is held unacknowledged while it is listed: the broker hands none twice, and
    // what is not acknowledged goes back to the queue, in its order, when the connection closes.
    consumer.prefetch(waiting > 65535 ? 0 : static_cast<std::uint16_t>(waiting));
    consumer.consume(iOptions.deadLetter);
    AmqpConnection publisher(address);
    if (requeue) {
        publisher.declareQueue(iOptions.queue);
        publisher.selectConfirms();
    }
    std::vector<std::uint64_t> sent;   // the dead letter's tag per sequence number, from 1
    long listed = 0;
    AmqpConnection::Delivery d;
    while (listed < static_cast<long>(waiting) && consumer.nextDelivery(2000, d)) {
        ++listed;
        const std::string number = text(d.header("quarn-error-number"));
        const std::string line = text(d.header("quarn-error-line")), column = text(d.header("quarn-error-column"));
        const std::string message = text(d.header("quarn-error-text"));
        if (iOptions.json)
            std::fprintf(iOut, "{\"index\":%ld,\"bytes\":%zu,\"errorNumber\":%s,\"line\":%s,\"column\":%s,\"errorText\":%s}\n",
                         listed, d.size(), number.empty() ? "null" : number.c_str(), line.empty() ? "null" : line.c_str(),
                         column.empty() ? "null" : column.c_str(), TreePrinter::jsonString(message).c_str());
        else
            std::fprintf(iOut, "%ld: %zu bytes, error %s at %s:%s: %s\n", listed, d.size(),
                         number.empty() ? "?" : number.c_str(), line.empty() ? "?" : line.c_str(),
                         column.empty() ? "?" : column.c_str(), message.c_str());
        if (requeue) {
            std::vector<amqp_table_entry_t> entries;
            const amqp_basic_properties_t properties = withoutErrorHeaders(d, entries);
            publisher.publish(std::string(), iOptions.queue, true, properties, d.body(), d.size());
            sent.push_back(d.tag());
        }
    }
    if (requeue) {
        // A dead letter leaves its queue only once the input queue has it.
        std::vector<bool> confirmed(sent.size() + 1, false);
        std::size_t settled = 0;
        long acked = 0;
        for (int waited = 0; settled < sent.size() && waited < 300; ++waited)
            publisher.readConfirms(100, [&](const AmqpConnection::Confirm& k) {
                if (k.kind == AmqpConnection::Confirm::Return) return;
                const std::uint64_t from = k.multiple ? 1 : k.sequence;
                for (std::uint64_t s = from; s <= k.sequence && s <= sent.size(); ++s) {
                    if (confirmed[s]) continue;
                    confirmed[s] = true;
                    ++settled;
                    if (k.kind != AmqpConnection::Confirm::Ack) continue;
                    consumer.ack(sent[s - 1]);
                    ++acked;
                }
            });
        if (!iOptions.json)
            std::fprintf(iOut, "sent %ld dead letter%s back to %s\n", acked, acked == 1 ? "" : "s", iOptions.queue.c_str());
        if (acked < listed)
            throw AmqpConnection::Error("the broker did not take every message sent back; the rest stay dead letters",
                                        false);
    }
    return listed;
}
