// BrokerConnection: what the flow needs of a broker, over one connection with one channel:
// declare queues, consume with a prefetch window, acknowledge or reject, and publish with the
// broker's confirms, a message's headers set or dropped. The runner and the dead-letter listing
// speak to a broker through it alone; AmqpConnection is the AMQP 0-9-1 one, and a second broker is
// another class that derives from it. Failures raise BrokerConnection::Error; `lost` tells a lost
// connection (worth retrying) from a refusal by the broker (a configuration fault).
// Thread rules: one thread at a time per connection.
#pragma once

#include "flow/BrokerMessage.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class BrokerConnection {
public:
    struct Error : std::runtime_error {
        Error(const std::string& text, bool connectionLost, int code = 0)
            : std::runtime_error(text), lost(connectionLost), replyCode(code) {}
        bool lost;
        int replyCode;   // the broker's reply code of a refusal (404: no such queue), else 0
    };
    // A message whose properties do not fit the connection's frame (its own headers with those
    // added to it): refused before any byte is sent, so the connection stays sound.
    struct TooLarge : Error {
        explicit TooLarge(const std::string& text) : Error(text, false) {}
    };
    // What the broker said about published messages: a confirm (ack or nack) of one sequence
    // number or of all up to it, or a message it could not route (it is still confirmed after).
    // A return carries no sequence number: the message is known by its key and its bytes, for the
    // confirm of an earlier message under the same key may still be owed (a persistent message
    // routed to a queue is confirmed only once the queue has it; a return is sent at once).
    struct Confirm {
        enum Kind { Ack, Nack, Return } kind = Ack;
        std::uint64_t sequence = 0;      // Ack, Nack
        bool multiple = false;           // Ack, Nack
        std::string routingKey;          // Return
        std::string reason;              // Return
        std::uint64_t fingerprint = 0;   // Return: fingerprint() of the bytes returned (0: not known)
        // Whether this return is of a message published under `key` with bytes of `published`
        // fingerprint: identical messages of one key are interchangeable; a connection that does
        // not know the bytes returned names its message by the key alone.
        bool returns(const std::string& key, std::uint64_t published) const noexcept {
            return kind == Return && routingKey == key && (fingerprint == 0 || fingerprint == published);
        }
    };
    // What a publisher keeps of a message's bytes to know it again when the broker returns it;
    // never 0, which a return uses for "not known".
    static std::uint64_t fingerprint(const void* body, std::size_t size) noexcept {
        const std::uint64_t h = std::hash<std::string_view>()(std::string_view(static_cast<const char*>(body), size));
        return h ? h : 1;
    }
    // The properties of a message published: those of `like` (a message this kind of connection
    // delivered) with `set` replacing or adding headers and `dropped` left out; without `like`,
    // none but persistence.
    struct Properties {
        const BrokerMessage* like = nullptr;
        std::vector<BrokerMessage::Header> set;
        std::vector<std::string> dropped;
        bool persistent = false;
    };
    // Makes a connection to the flow's broker (each call a new one); raises Error.
    using Factory = std::function<std::unique_ptr<BrokerConnection>()>;

    BrokerConnection() = default;
    BrokerConnection(const BrokerConnection&) = delete;
    BrokerConnection& operator=(const BrokerConnection&) = delete;
    virtual ~BrokerConnection() = default;

    // The broker as a log names it (no password).
    virtual std::string where() const = 0;
    virtual void declareQueue(const std::string& name) = 0;   // durable, shared, kept when unused
    // Messages ready in a queue (the queue must exist).
    virtual std::uint32_t queueDepth(const std::string& name) = 0;
    virtual void prefetch(std::uint16_t count) = 0;
    virtual void consume(const std::string& queue) = 0;
    virtual void ack(std::uint64_t tag) = 0;
    virtual void reject(std::uint64_t tag, bool requeue) = 0;
    virtual void selectConfirms() = 0;
    // Publishes and returns the message's sequence number for confirms (0 without them); raises
    // TooLarge, having sent nothing, when the properties do not fit.
    virtual std::uint64_t publish(const std::string& exchange, const std::string& routingKey, bool mandatory,
                                  const Properties& properties, const void* body, std::size_t size) = 0;
    // Waits up to `timeoutMs` (0: only what has already arrived; -1: no limit) for a message.
    virtual bool next(int timeoutMs, BrokerMessage& message) = 0;
    // Reads the confirms that arrive within `timeoutMs` (stops at the first batch).
    virtual void readConfirms(int timeoutMs, const std::function<void(const Confirm&)>& onConfirm) = 0;
    // Tells the broker the connection is alive while the flow does not read it (a full prefetch
    // window, a stop waiting for confirms): a broker drops a connection it has not heard from for
    // a while and delivers its unacknowledged messages again. Cheap to call often.
    virtual void keepAlive() {}
    // Data has arrived that the next read will return without waiting.
    virtual bool hasBuffered() const noexcept = 0;
    // A descriptor that becomes readable when data arrives, or -1 when hasBuffered() tells all.
    virtual int socket() const noexcept = 0;
};
