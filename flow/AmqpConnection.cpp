#include "flow/AmqpConnection.hpp"

#include <amqp_tcp_socket.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/time.h>
#include <utility>

namespace {
constexpr amqp_channel_t kChannel = 1;

amqp_bytes_t bytesOf(const std::string& s) { return amqp_bytes_t{s.size(), const_cast<char*>(s.data())}; }

std::string textOf(amqp_bytes_t b) { return std::string(static_cast<const char*>(b.bytes), b.len); }

timeval* timeout(int ms, timeval& tv) {
    if (ms < 0) return nullptr;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return &tv;
}

// What the flow's message keeps of a delivery: the envelope, which owns the body and the properties.
struct AmqpNative : BrokerMessage::Native {
    explicit AmqpNative(std::shared_ptr<amqp_envelope_t> e) : envelope(std::move(e)) {}
    std::shared_ptr<amqp_envelope_t> envelope;
};

BrokerMessage::Value valueOf(const amqp_field_value_t& v) {
    switch (v.kind) {
    case AMQP_FIELD_KIND_I8: return BrokerMessage::Value::of(v.value.i8);
    case AMQP_FIELD_KIND_U8: return BrokerMessage::Value::of(v.value.u8);
    case AMQP_FIELD_KIND_I16: return BrokerMessage::Value::of(v.value.i16);
    case AMQP_FIELD_KIND_U16: return BrokerMessage::Value::of(v.value.u16);
    case AMQP_FIELD_KIND_I32: return BrokerMessage::Value::of(v.value.i32);
    case AMQP_FIELD_KIND_U32: return BrokerMessage::Value::of(static_cast<long long>(v.value.u32));
    case AMQP_FIELD_KIND_I64: return BrokerMessage::Value::of(static_cast<long long>(v.value.i64));
    case AMQP_FIELD_KIND_U64:
        // Beyond what the flow reads as a number either way: kept out of range, not wrapped.
        return BrokerMessage::Value::of(v.value.u64 > static_cast<std::uint64_t>(LLONG_MAX)
                                            ? LLONG_MAX : static_cast<long long>(v.value.u64));
    case AMQP_FIELD_KIND_UTF8:
    case AMQP_FIELD_KIND_BYTES: return BrokerMessage::Value::of(textOf(v.value.bytes));
    default: return BrokerMessage::Value{};
    }
}

amqp_table_entry_t entryOf(const BrokerMessage::Header& h) {
    amqp_table_entry_t e{};
    e.key = bytesOf(h.first);
    if (h.second.kind == BrokerMessage::Value::Number) {
        e.value.kind = AMQP_FIELD_KIND_I64;
        e.value.value.i64 = h.second.number;
    } else {
        e.value.kind = AMQP_FIELD_KIND_UTF8;
        e.value.value.bytes = bytesOf(h.second.text);
    }
    return e;
}

// The bytes of a content header frame with these properties, or 0 when its header table does not
// fit in `frameMax` bytes at all.
std::size_t headerFrameSize(const amqp_basic_properties_t& p, std::size_t frameMax, std::vector<char>& scratch) {
    std::size_t size = 8 + 14;   // frame header and end; class, weight, body size, property flags
    const amqp_flags_t f = p._flags;
    for (const auto& [flag, text] : {std::make_pair(AMQP_BASIC_CONTENT_TYPE_FLAG, &p.content_type),
                                     std::make_pair(AMQP_BASIC_CONTENT_ENCODING_FLAG, &p.content_encoding),
                                     std::make_pair(AMQP_BASIC_CORRELATION_ID_FLAG, &p.correlation_id),
                                     std::make_pair(AMQP_BASIC_REPLY_TO_FLAG, &p.reply_to),
                                     std::make_pair(AMQP_BASIC_EXPIRATION_FLAG, &p.expiration),
                                     std::make_pair(AMQP_BASIC_MESSAGE_ID_FLAG, &p.message_id),
                                     std::make_pair(AMQP_BASIC_TYPE_FLAG, &p.type),
                                     std::make_pair(AMQP_BASIC_USER_ID_FLAG, &p.user_id),
                                     std::make_pair(AMQP_BASIC_APP_ID_FLAG, &p.app_id),
                                     std::make_pair(AMQP_BASIC_CLUSTER_ID_FLAG, &p.cluster_id)})
        if (f & flag) size += 1 + text->len;
    if (f & AMQP_BASIC_DELIVERY_MODE_FLAG) size += 1;
    if (f & AMQP_BASIC_PRIORITY_FLAG) size += 1;
    if (f & AMQP_BASIC_TIMESTAMP_FLAG) size += 8;
    if (f & AMQP_BASIC_HEADERS_FLAG) {
        scratch.resize(frameMax);
        size_t offset = 0;
        amqp_table_t headers = p.headers;
        if (amqp_encode_table(amqp_bytes_t{scratch.size(), scratch.data()}, &headers, &offset) != AMQP_STATUS_OK) return 0;
        size += offset;
    }
    return size;
}

bool named(const amqp_table_entry_t& e, const std::string& name) {
    return e.key.len == name.size() && std::memcmp(e.key.bytes, name.data(), name.size()) == 0;
}

std::string percentDecoded(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}
} // namespace

AmqpConnection::Address AmqpConnection::Address::parse(const std::string& url) {
    const std::string scheme = "amqp://";
    if (url.compare(0, scheme.size(), scheme) != 0)
        throw std::invalid_argument("a broker URL starts with amqp://, not '" + url + "'");
    Address a;
    std::string rest = url.substr(scheme.size());
    std::size_t slash = rest.find('/');
    if (slash != std::string::npos) {
        std::string vhost = percentDecoded(rest.substr(slash + 1));
        if (!vhost.empty()) a.vhost = vhost;
        rest.resize(slash);
    }
    std::size_t at = rest.rfind('@');
    if (at != std::string::npos) {
        std::string credentials = rest.substr(0, at);
        rest = rest.substr(at + 1);
        std::size_t colon = credentials.find(':');
        a.user = percentDecoded(credentials.substr(0, colon));
        if (colon != std::string::npos) a.password = percentDecoded(credentials.substr(colon + 1));
    }
    std::size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        std::string digits = rest.substr(colon + 1);
        char* end = nullptr;
        long port = std::strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || port < 1 || port > 65535)
            throw std::invalid_argument("bad port in broker URL '" + url + "'");
        a.port = static_cast<int>(port);
        rest.resize(colon);
    }
    if (!rest.empty()) a.host = rest;
    return a;
}

std::string AmqpConnection::Address::text() const {
    return "amqp://" + user + "@" + host + ":" + std::to_string(port) + (vhost == "/" ? "/" : "/" + vhost);
}

const amqp_field_value_t* AmqpConnection::Delivery::header(const char* name) const noexcept {
    const amqp_basic_properties_t& p = properties();
    if (!(p._flags & AMQP_BASIC_HEADERS_FLAG)) return nullptr;
    const std::size_t n = std::strlen(name);
    for (int i = 0; i < p.headers.num_entries; ++i) {
        const amqp_table_entry_t& e = p.headers.entries[i];
        if (e.key.len == n && std::memcmp(e.key.bytes, name, n) == 0) return &e.value;
    }
    return nullptr;
}

AmqpConnection::AmqpConnection(const Address& address) : iWhere(address.text()) {
    iState = amqp_new_connection();
    if (!iState) throw Error("out of memory for a broker connection", false);
    amqp_socket_t* socket = amqp_tcp_socket_new(iState);
    if (!socket) {
        amqp_destroy_connection(iState);
        throw Error("cannot make a socket for the broker connection", true);
    }
    timeval tv;
    int status = amqp_socket_open_noblock(socket, address.host.c_str(), address.port, timeout(5000, tv));
    if (status != AMQP_STATUS_OK) {
        amqp_destroy_connection(iState);
        throw Error("cannot connect to " + address.text() + ": " + amqp_error_string2(status), true);
    }
    // Answers to requests come within seconds or the broker is as good as lost.
    amqp_set_rpc_timeout(iState, timeout(30000, tv));
    try {
        // Heartbeats every 30 s: a peer that vanished without closing its socket is found within a
        // minute. They are sent and checked whenever the connection is read, which the flow does
        // several times a second.
        check(amqp_login(iState, address.vhost.c_str(), 0, 131072, 30, AMQP_SASL_METHOD_PLAIN, address.user.c_str(),
                         address.password.c_str()),
              "logging in");
        amqp_channel_open(iState, kChannel);
        check(amqp_get_rpc_reply(iState), "opening a channel");
    } catch (...) {
        amqp_destroy_connection(iState);
        throw;
    }
    iOpen = true;
}

AmqpConnection::~AmqpConnection() {
    // Closing hands unacknowledged deliveries back to the queue at once.
    if (iOpen) closeWithin(kCloseWaitMs);
    amqp_destroy_connection(iState);
}

void AmqpConnection::closeWithin(int ms) {
    // A broker that blocks this connection (a memory or disk alarm) reads nothing from it, so a
    // close that waited for its answer waited the library's whole reply time, twice (channel and
    // connection). The connection is closed whole, in one request, and its answer awaited a few
    // seconds at most; without it the socket is closed, which hands the deliveries back as well.
    pollfd out{amqp_get_sockfd(iState), POLLOUT, 0};
    if (::poll(&out, 1, 0) != 1 || !(out.revents & POLLOUT)) return;
    amqp_connection_close_t close{};
    close.reply_code = AMQP_REPLY_SUCCESS;
    close.reply_text = amqp_cstring_bytes("closing");
    if (amqp_send_method(iState, 0, AMQP_CONNECTION_CLOSE_METHOD, &close) != AMQP_STATUS_OK) return;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        amqp_frame_t frame;
        timeval tv;
        if (amqp_simple_wait_frame_noblock(iState, &frame, timeout(static_cast<int>(left.count()), tv)) != AMQP_STATUS_OK)
            return;
        if (frame.frame_type == AMQP_FRAME_METHOD && frame.channel == 0 &&
            frame.payload.method.id == AMQP_CONNECTION_CLOSE_OK_METHOD)
            return;
    }
}

void AmqpConnection::check(amqp_rpc_reply_t reply, const char* what) {
    switch (reply.reply_type) {
    case AMQP_RESPONSE_NORMAL:
        return;
    case AMQP_RESPONSE_NONE:
        iOpen = false;
        throw Error(std::string("no answer from the broker when ") + what, true);
    case AMQP_RESPONSE_LIBRARY_EXCEPTION:
        iOpen = false;
        throw Error(std::string("connection to the broker lost when ") + what + ": " +
                        amqp_error_string2(reply.library_error),
                    true);
    case AMQP_RESPONSE_SERVER_EXCEPTION:
        break;
    }
    iOpen = false;
    if (reply.reply.id == AMQP_CONNECTION_CLOSE_METHOD) {
        auto* m = static_cast<amqp_connection_close_t*>(reply.reply.decoded);
        // 320: the broker is shutting down; it may come back.
        throw Error(std::string("the broker closed the connection when ") + what + ": " +
                        std::to_string(m->reply_code) + " " + textOf(m->reply_text),
                    m->reply_code == AMQP_CONNECTION_FORCED);
    }
    if (reply.reply.id == AMQP_CHANNEL_CLOSE_METHOD) {
        auto* m = static_cast<amqp_channel_close_t*>(reply.reply.decoded);
        throw Error(std::string("the broker refused ") + what + ": " + std::to_string(m->reply_code) + " " +
                        textOf(m->reply_text),
                    false, m->reply_code);
    }
    throw Error(std::string("the broker refused ") + what, false);
}

void AmqpConnection::checkStatus(int status, const char* what) {
    if (status == AMQP_STATUS_OK) return;
    iOpen = false;
    throw Error(std::string("connection to the broker lost when ") + what + ": " + amqp_error_string2(status), true);
}

void AmqpConnection::declareQueue(const std::string& name) {
    amqp_queue_declare(iState, kChannel, bytesOf(name), 0, 1, 0, 0, amqp_empty_table);
    check(amqp_get_rpc_reply(iState), ("declaring queue " + name).c_str());
}

void AmqpConnection::purgeQueue(const std::string& name) {
    amqp_queue_purge(iState, kChannel, bytesOf(name));
    check(amqp_get_rpc_reply(iState), ("purging queue " + name).c_str());
}

void AmqpConnection::deleteQueue(const std::string& name) {
    amqp_queue_delete(iState, kChannel, bytesOf(name), 0, 0);
    check(amqp_get_rpc_reply(iState), ("deleting queue " + name).c_str());
}

void AmqpConnection::bindQueue(const std::string& queue, const std::string& exchange, const std::string& key) {
    amqp_queue_bind(iState, kChannel, bytesOf(queue), bytesOf(exchange), bytesOf(key), amqp_empty_table);
    check(amqp_get_rpc_reply(iState), ("binding queue " + queue).c_str());
}

std::uint32_t AmqpConnection::queueDepth(const std::string& name) {
    amqp_queue_declare_ok_t* ok = amqp_queue_declare(iState, kChannel, bytesOf(name), 1, 0, 0, 0, amqp_empty_table);
    check(amqp_get_rpc_reply(iState), ("looking up queue " + name).c_str());
    return ok ? ok->message_count : 0;
}

void AmqpConnection::prefetch(std::uint16_t count) {
    amqp_basic_qos(iState, kChannel, 0, count, 0);
    check(amqp_get_rpc_reply(iState), "setting the prefetch count");
}

void AmqpConnection::consume(const std::string& queue) {
    amqp_basic_consume(iState, kChannel, bytesOf(queue), amqp_empty_bytes, 0, 0, 0, amqp_empty_table);
    check(amqp_get_rpc_reply(iState), ("consuming from queue " + queue).c_str());
}

void AmqpConnection::ack(std::uint64_t tag) { checkStatus(amqp_basic_ack(iState, kChannel, tag, 0), "acknowledging"); }

void AmqpConnection::reject(std::uint64_t tag, bool requeue) {
    checkStatus(amqp_basic_nack(iState, kChannel, tag, 0, requeue ? 1 : 0), "rejecting");
}

void AmqpConnection::selectConfirms() {
    amqp_confirm_select(iState, kChannel);
    check(amqp_get_rpc_reply(iState), "asking for publisher confirms");
    iNextSequence = 1;
}

std::uint64_t AmqpConnection::publish(const std::string& exchange, const std::string& routingKey, bool mandatory,
                                      const amqp_basic_properties_t& properties, const void* body,
                                      std::size_t size) {
    amqp_bytes_t bytes{size, const_cast<void*>(body)};
    checkStatus(amqp_basic_publish(iState, kChannel, bytesOf(exchange), bytesOf(routingKey), mandatory ? 1 : 0, 0,
                                   &properties, bytes),
                "publishing");
    return iNextSequence ? iNextSequence++ : 0;
}

bool AmqpConnection::nextDelivery(int timeoutMs, Delivery& delivery) {
    amqp_maybe_release_buffers(iState);
    auto* envelope = new amqp_envelope_t{};
    timeval tv;
    amqp_rpc_reply_t reply = amqp_consume_message(iState, envelope, timeout(timeoutMs, tv), 0);
    if (reply.reply_type == AMQP_RESPONSE_NORMAL) {
        delivery.envelope.reset(envelope, [](amqp_envelope_t* e) {
            amqp_destroy_envelope(e);
            delete e;
        });
        return true;
    }
    delete envelope;
    if (reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION && reply.library_error == AMQP_STATUS_TIMEOUT) return false;
    if (reply.reply_type == AMQP_RESPONSE_LIBRARY_EXCEPTION && reply.library_error == AMQP_STATUS_UNEXPECTED_STATE) {
        // Something other than a delivery came: the broker closing or cancelling.
        amqp_frame_t frame;
        checkStatus(amqp_simple_wait_frame(iState, &frame), "reading from the broker");
        if (frame.frame_type != AMQP_FRAME_METHOD) return false;
        switch (frame.payload.method.id) {
        case AMQP_BASIC_CANCEL_METHOD:
            iOpen = false;
            throw Error("the broker cancelled the consumer (was the queue deleted?)", true);
        case AMQP_CHANNEL_CLOSE_METHOD:
        case AMQP_CONNECTION_CLOSE_METHOD: {
            amqp_rpc_reply_t closing{};
            closing.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
            closing.reply = frame.payload.method;
            check(closing, "consuming");
            return false;
        }
        default:
            return false;
        }
    }
    check(reply, "consuming");
    return false;
}

void AmqpConnection::readConfirms(int timeoutMs, const std::function<void(const Confirm&)>& onConfirm) {
    for (;;) {
        amqp_maybe_release_buffers(iState);
        amqp_frame_t frame;
        timeval tv;
        int status = amqp_simple_wait_frame_noblock(iState, &frame, timeout(timeoutMs, tv));
        if (status == AMQP_STATUS_TIMEOUT) return;
        checkStatus(status, "waiting for confirms");
        if (frame.frame_type == AMQP_FRAME_METHOD) {
            Confirm c;
            c.kind = Confirm::Ack;
            switch (frame.payload.method.id) {
            case AMQP_BASIC_ACK_METHOD: {
                auto* m = static_cast<amqp_basic_ack_t*>(frame.payload.method.decoded);
                c.sequence = m->delivery_tag;
                c.multiple = m->multiple != 0;
                onConfirm(c);
                break;
            }
            case AMQP_BASIC_NACK_METHOD: {
                auto* m = static_cast<amqp_basic_nack_t*>(frame.payload.method.decoded);
                c.kind = Confirm::Nack;
                c.sequence = m->delivery_tag;
                c.multiple = m->multiple != 0;
                onConfirm(c);
                break;
            }
            case AMQP_BASIC_RETURN_METHOD: {
                auto* m = static_cast<amqp_basic_return_t*>(frame.payload.method.decoded);
                c.kind = Confirm::Return;
                c.routingKey = textOf(m->routing_key);
                c.reason = std::to_string(m->reply_code) + " " + textOf(m->reply_text);
                // The returned message follows: its bytes tell which of the messages in flight
                // under that key it is.
                amqp_message_t message;
                check(amqp_read_message(iState, frame.channel, &message, 0), "reading a returned message");
                c.fingerprint = fingerprint(message.body.bytes, message.body.len);
                amqp_destroy_message(&message);
                onConfirm(c);
                break;
            }
            case AMQP_CHANNEL_CLOSE_METHOD:
            case AMQP_CONNECTION_CLOSE_METHOD: {
                amqp_rpc_reply_t closing{};
                closing.reply_type = AMQP_RESPONSE_SERVER_EXCEPTION;
                closing.reply = frame.payload.method;
                check(closing, "publishing");
                break;
            }
            default:
                break;
            }
        }
        if (!hasBuffered()) return;
        timeoutMs = 0;
    }
}

bool AmqpConnection::hasBuffered() const noexcept {
    return amqp_frames_enqueued(iState) || amqp_data_in_buffer(iState);
}

int AmqpConnection::socket() const noexcept { return amqp_get_sockfd(iState); }

void AmqpConnection::keepAlive() {
    // Every 10 s is well within the 30 s heartbeat interval the connection asked for at login.
    const auto now = std::chrono::steady_clock::now();
    if (now - iLastKeepAlive < std::chrono::seconds(10)) return;
    iLastKeepAlive = now;
    amqp_frame_t heartbeat{};
    heartbeat.frame_type = AMQP_FRAME_HEARTBEAT;
    heartbeat.channel = 0;
    checkStatus(amqp_send_frame(iState, &heartbeat), "keeping the connection alive");
}

BrokerConnection::Factory AmqpConnection::factory(const std::string& url) {
    const Address address = Address::parse(url);
    return [address]() -> std::unique_ptr<BrokerConnection> { return std::make_unique<AmqpConnection>(address); };
}

std::uint64_t AmqpConnection::publish(const std::string& exchange, const std::string& routingKey, bool mandatory,
                                      const Properties& properties, const void* body, std::size_t size) {
    amqp_basic_properties_t p{};
    std::vector<amqp_table_entry_t> entries;
    if (properties.like) {
        const auto* native = dynamic_cast<const AmqpNative*>(properties.like->native.get());
        if (!native) throw std::invalid_argument("a message published alike must come from an AMQP connection");
        p = native->envelope->message.properties;
        if (p._flags & AMQP_BASIC_HEADERS_FLAG)
            for (int i = 0; i < p.headers.num_entries; ++i) {
                const amqp_table_entry_t& e = p.headers.entries[i];
                bool left = false;
                for (const BrokerMessage::Header& h : properties.set) left = left || named(e, h.first);
                for (const std::string& d : properties.dropped) left = left || named(e, d);
                if (!left) entries.push_back(e);
            }
    } else if (properties.persistent) {
        p._flags = AMQP_BASIC_DELIVERY_MODE_FLAG;
        p.delivery_mode = 2;
    }
    for (const BrokerMessage::Header& h : properties.set) entries.push_back(entryOf(h));
    p.headers.num_entries = static_cast<int>(entries.size());
    p.headers.entries = entries.empty() ? nullptr : entries.data();
    if (entries.empty())
        p._flags &= ~AMQP_BASIC_HEADERS_FLAG;
    else
        p._flags |= AMQP_BASIC_HEADERS_FLAG;
    // The library finds a header frame too large only after the publish method has gone out, which
    // leaves the connection half-way through a message: the flow took it for lost and met the same
    // message again, for ever. Checked first, nothing is sent and the caller decides.
    const std::size_t frameMax = static_cast<std::size_t>(amqp_get_frame_max(iState));
    std::vector<char> scratch;
    const std::size_t frame = headerFrameSize(p, frameMax, scratch);
    if (frame == 0 || frame > frameMax)
        throw TooLarge("its properties and headers (" + std::to_string(entries.size()) + " headers) do not fit the broker's frame of " +
                       std::to_string(frameMax) + " bytes");
    return publish(exchange, routingKey, mandatory, p, body, size);
}

bool AmqpConnection::next(int timeoutMs, BrokerMessage& message) {
    Delivery d;
    if (!nextDelivery(timeoutMs, d)) return false;
    message.tag = d.tag();
    message.redelivered = d.redelivered();
    message.body = d.body();
    message.size = d.size();
    message.headers.clear();
    const amqp_basic_properties_t& p = d.properties();
    if (p._flags & AMQP_BASIC_HEADERS_FLAG)
        for (int i = 0; i < p.headers.num_entries; ++i)
            message.headers.emplace_back(textOf(p.headers.entries[i].key), valueOf(p.headers.entries[i].value));
    message.native = std::make_shared<AmqpNative>(std::move(d.envelope));
    return true;
}
