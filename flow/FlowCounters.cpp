#include "flow/FlowCounters.hpp"

namespace {
std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
} // namespace

void FlowCounters::received(std::size_t bytes, bool redelivered) {
    if (!iAny) {
        iAny = true;
        iFirst = std::chrono::steady_clock::now();
    }
    ++iReceived;
    iBytesIn += bytes;
    if (redelivered) ++iRedelivered;
}

void FlowCounters::routed(const std::string& key, long copied, long rewritten, std::size_t bytesOut) {
    ++iRouted[key];
    iBytesCopied += static_cast<unsigned long long>(copied > 0 ? copied : 0);
    iBytesRewritten += static_cast<unsigned long long>(rewritten > 0 ? rewritten : 0);
    iBytesOut += bytesOut;
}

void FlowCounters::unrouted(const std::string& key) {
    auto it = iRouted.find(key);
    if (it != iRouted.end() && --it->second == 0) iRouted.erase(it);
}

void FlowCounters::deadLettered(std::size_t bytes) {
    ++iDeadLettered;
    iBytesOut += bytes;
}

void FlowCounters::settled() {
    ++iSettled;
    iLast = std::chrono::steady_clock::now();
}

double FlowCounters::messagesPerSecond() const {
    if (!iAny || iSettled == 0) return 0;
    const double seconds = std::chrono::duration<double>(iLast - iFirst).count();
    return seconds > 0 ? static_cast<double>(iSettled) / seconds : 0;
}

void FlowCounters::print(std::FILE* out, bool json) const {
    const double running = std::chrono::duration<double>(std::chrono::steady_clock::now() - iStart).count();
    if (json) {
        std::fprintf(out, "{\"received\": %lu, \"settled\": %lu, \"routed\": {", iReceived, iSettled);
        bool first = true;
        for (const auto& [key, count] : iRouted) {
            std::fprintf(out, "%s%s: %lu", first ? "" : ", ", jsonString(key).c_str(), count);
            first = false;
        }
        // The keys of every subcommand's JSON (bytesIn, wellFormed); the snake_case names the
        // counters had first follow as aliases, for the monitoring already reading them.
        std::fprintf(out,
                     "}, \"deadLettered\": %lu, \"redelivered\": %lu, \"requeued\": %lu, \"connectionsLost\": %lu, "
                     "\"bytesIn\": %llu, \"bytesOut\": %llu, \"bytesCopied\": %llu, \"bytesRewritten\": %llu, "
                     "\"messagesPerSecond\": %.1f, \"seconds\": %.3f",
                     iDeadLettered, iRedelivered, iRequeued, iConnectionsLost, iBytesIn, iBytesOut, iBytesCopied,
                     iBytesRewritten, messagesPerSecond(), running);
        std::fprintf(out,
                     ", \"dead_lettered\": %lu, \"connections_lost\": %lu, \"bytes_in\": %llu, \"bytes_out\": %llu, "
                     "\"bytes_copied\": %llu, \"bytes_rewritten\": %llu, \"messages_per_second\": %.1f}\n",
                     iDeadLettered, iConnectionsLost, iBytesIn, iBytesOut, iBytesCopied, iBytesRewritten,
                     messagesPerSecond());
    } else {
        std::fprintf(out, "flow: %lu received, %lu settled, %lu dead-lettered, %lu redelivered, %lu requeued\n",
                     iReceived, iSettled, iDeadLettered, iRedelivered, iRequeued);
        for (const auto& [key, count] : iRouted) std::fprintf(out, "  routed to %s: %lu\n", key.c_str(), count);
        std::fprintf(out, "bytes: %llu in, %llu out, %llu copied, %llu rewritten\n", iBytesIn, iBytesOut, iBytesCopied,
                     iBytesRewritten);
        std::fprintf(out, "rate: %.1f messages/s; %lu connections lost; running %.1f s\n", messagesPerSecond(),
                     iConnectionsLost, running);
    }
    std::fflush(out);
}
