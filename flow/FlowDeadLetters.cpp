#include "flow/FlowDeadLetters.hpp"

#include "flow/BrokerConnection.hpp"
#include "flow/FlowConfirms.hpp"
#include "flow/FlowOptions.hpp"
#include "flow/FlowRunner.hpp"
#include "cli/TreePrinter.hpp"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string text(const BrokerMessage::Value* v) {
    if (v == nullptr) return std::string();
    switch (v->kind) {
    case BrokerMessage::Value::Text: return v->text;
    case BrokerMessage::Value::Number: return std::to_string(v->number);
    default: return std::string();
    }
}

// A header as a JSON number: null when absent or not a whole number (a dead letter another
// program put in the queue may carry any text there).
std::string jsonNumber(const std::string& text) {
    if (text.empty()) return "null";
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno != 0 || std::isspace(static_cast<unsigned char>(text[0]))) return "null";
    return std::to_string(n);
}

// The headers the flow added when it dead-lettered the message; a header of the message's own that
// merely starts as they do (quarn-error-code, say) goes back with it.
std::vector<std::string> errorHeaders() {
    return std::vector<std::string>(std::begin(FlowRunner::kErrorHeaders), std::end(FlowRunner::kErrorHeaders));
}

// A header's text as a terminal line may show it: a dead letter another program put there may
// carry any bytes, and an escape or a line of its own must not pass for the listing's. Each line is
// escaped on its own, and one that is not indented (as the flow's "caused by" lines are) is
// indented, so that it cannot read as the next dead letter's.
std::string shown(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (start > 0) out += line.empty() || line[0] == ' ' ? "\n" : "\n  ";
        out += TreePrinter::printable(line);
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}
} // namespace

long FlowDeadLetters::run(bool requeue) {
    const std::unique_ptr<BrokerConnection> consumerConnection = iConnect();
    BrokerConnection& consumer = *consumerConnection;
    std::uint32_t waiting = 0;
    try {
        waiting = consumer.queueDepth(iOptions.deadLetter);
    } catch (const BrokerConnection::Error& e) {
        // A flow makes its dead-letter queue when it starts: none means no flow ran with these
        // settings on this broker, or a name or address is wrong; the broker's 404 alone said neither.
        if (e.replyCode != 404) throw;
        throw BrokerConnection::Error("there is no dead-letter queue " + iOptions.deadLetter + " at " + consumer.where() +
                                          ": no flow taking from " + iOptions.queue +
                                          " has run there with it (are --queue, --dead-letter and --broker right?)",
                                      false, e.replyCode);
    }
    if (waiting == 0) {
        if (!iOptions.json) std::fprintf(iOut, "no dead letters in %s\n", iOptions.deadLetter.c_str());
        return 0;
    }
    // Every message is held unacknowledged while it is listed: the broker hands none twice, and
    // what is not acknowledged goes back to the queue, in its order, when the connection closes.
    consumer.prefetch(waiting > 65535 ? 0 : static_cast<std::uint16_t>(waiting));
    consumer.consume(iOptions.deadLetter);
    const std::unique_ptr<BrokerConnection> publisherConnection = iConnect();
    BrokerConnection& publisher = *publisherConnection;
    if (requeue) {
        publisher.declareQueue(iOptions.queue);
        publisher.selectConfirms();
    }
    FlowConfirms sending(publisher);
    std::vector<std::uint64_t> sent;   // the dead letter's tag per message sent back, in order
    long listed = 0;
    long acked = 0;
    try {
        list(consumer, waiting, requeue, sending, sent, listed);
        if (requeue) {
            // A dead letter leaves its queue only once the input queue has it: confirmed, and not
            // returned (a return is confirmed too).
            sending.wait(30, [&](std::size_t index, FlowConfirms::Outcome o) {
                if (o != FlowConfirms::Taken) return;
                consumer.ack(sent[index]);
                ++acked;
            });
        }
    } catch (const BrokerConnection::Error& e) {
        if (!requeue) throw;
        // Lost half-way: what went back has left the dead-letter queue; a message sent but not
        // confirmed stays a dead letter and may be in the flow's queue too, which a second
        // --requeue would send again.
        const std::size_t unanswered = sending.count(FlowConfirms::Unanswered);
        throw BrokerConnection::Error(std::string(e.what()) + "; " + std::to_string(acked) + " of " +
                                          std::to_string(waiting) + " dead letters sent back to " + iOptions.queue +
                                          "; the other " + std::to_string(waiting - acked) + " stay dead letters" +
                                          (unanswered ? " (" + std::to_string(unanswered) + " sent but not confirmed, in " +
                                                            iOptions.queue + " or not)"
                                                      : std::string()),
                                      e.lost);
    }
    if (requeue) {
        if (!iOptions.json)
            std::fprintf(iOut, "sent %ld dead letter%s back to %s\n", acked, acked == 1 ? "" : "s", iOptions.queue.c_str());
        if (acked < listed) {
            std::string why;
            for (std::size_t i = 0; i < sending.size(); ++i)
                if (sending.outcome(i) != FlowConfirms::Taken)
                    why += "; " + std::to_string(i + 1) + ": " + sending.describe(i);
            throw BrokerConnection::Error("the broker did not take every message sent back; the rest stay dead letters" +
                                              why,
                                          false);
        }
    }
    return listed;
}

// Lists the dead letters, each once, sending each back when asked to.
void FlowDeadLetters::list(BrokerConnection& consumer, std::uint32_t waiting, bool requeue, FlowConfirms& sending,
                           std::vector<std::uint64_t>& sent, long& listed) {
    BrokerMessage d;
    while (listed < static_cast<long>(waiting) && consumer.next(2000, d)) {
        ++listed;
        const std::string number = text(d.header("quarn-error-number"));
        const std::string line = text(d.header("quarn-error-line")), column = text(d.header("quarn-error-column"));
        const std::string message = text(d.header("quarn-error-text"));
        if (iOptions.json)
            std::fprintf(iOut, "{\"index\":%ld,\"bytes\":%zu,\"errorNumber\":%s,\"line\":%s,\"column\":%s,\"errorText\":%s}\n",
                         listed, d.size, jsonNumber(number).c_str(), jsonNumber(line).c_str(), jsonNumber(column).c_str(),
                         TreePrinter::jsonString(message).c_str());
        else
            std::fprintf(iOut, "%ld: %zu bytes, error %s at %s:%s: %s\n", listed, d.size,
                         number.empty() ? "?" : shown(number).c_str(), line.empty() ? "?" : shown(line).c_str(),
                         column.empty() ? "?" : shown(column).c_str(), shown(message).c_str());
        if (requeue) {
            BrokerConnection::Properties properties;
            properties.like = &d;
            properties.dropped = errorHeaders();
            sending.publish(std::string(), iOptions.queue, properties, d.body, d.size);
            sent.push_back(d.tag);
        }
    }
}
