// BrokerMessage: one message as a broker delivered it, in the flow's own terms: its delivery tag,
// whether it came before, its body and its headers. What the connection that delivered it keeps
// of it (the body's storage, its properties) is shared with the message, so a copy keeps the body
// alive and can be published again with the properties it came with. A value type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class BrokerMessage {
public:
    // A header's value as the flow reads and writes it: a whole number, text (or bytes), or a kind
    // the flow does not read (still carried over when the message is published again).
    struct Value {
        enum Kind { Number, Text, Other } kind = Other;
        long long number = 0;
        std::string text;
        static Value of(long long n) { return Value{Number, n, std::string()}; }
        static Value of(std::string t) { return Value{Text, 0, std::move(t)}; }
    };
    using Header = std::pair<std::string, Value>;
    // What a connection keeps of a message it delivered; each kind of connection derives its own.
    struct Native {
        virtual ~Native() = default;
    };

    // The header of that name, or null.
    const Value* header(const std::string& name) const noexcept {
        for (const Header& h : headers)
            if (h.first == name) return &h.second;
        return nullptr;
    }

    std::uint64_t tag = 0;
    bool redelivered = false;
    const unsigned char* body = nullptr;   // owned by `native`
    std::size_t size = 0;
    std::vector<Header> headers;           // in the order the message carries them
    std::shared_ptr<const Native> native;
};
