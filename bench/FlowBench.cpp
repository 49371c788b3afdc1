// Messages per second of quarn flow on a real broker: the same queue of generated orders (10 KB
// or 1 MB each, the routing field in the first kilobyte) routed lazily, routed after a full walk
// of each message, and forwarded without parsing (the broker's own ceiling for this consumer).
// Usage: quarn_flow_bench QUARN BROKER_URL SIZE_BYTES COUNT lazy|full|forward
// Prints one line: size=... mode=... messages=... seconds=... rate=... (rate: messages/s as the
// flow counted them, from the first message received to the last one settled).
#include "flow/AmqpConnection.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
std::string order(std::size_t size, long id) {
    std::string d = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<order id=\"" + std::to_string(id) +
                    "\">\n  <header><region>" + (id % 2 ? "EU" : "US") +
                    "</region><priority>normal</priority><customer ref=\"C-0042\">Example Trading</customer></header>\n"
                    "  <items>\n";
    for (long i = 1; d.size() + 120 < size; ++i)
        d += "    <item sku=\"A-" + std::to_string(100000 + i) + "\" qty=\"" + std::to_string(i % 9 + 1) +
             "\" price=\"12.50\">Widget number " + std::to_string(i) + " &amp; its box</item>\n";
    d += "  </items>\n</order>\n";
    return d;
}
} // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s QUARN BROKER_URL SIZE_BYTES COUNT lazy|full|forward\n", argv[0]);
        return 2;
    }
    const std::string quarn = argv[1], url = argv[2], mode = argv[5];
    const std::size_t size = std::strtoul(argv[3], nullptr, 10);
    const long count = std::strtol(argv[4], nullptr, 10);
    const std::string in = "quarn-bench.in", eu = "quarn-bench.eu", other = "quarn-bench.other";
    try {
        AmqpConnection c(AmqpConnection::Address::parse(url));
        for (const std::string& q : {in, eu, other}) {
            c.declareQueue(q);
            c.purgeQueue(q);
        }
        c.selectConfirms();
        amqp_basic_properties_t p{};
        p._flags = AMQP_BASIC_DELIVERY_MODE_FLAG;
        p.delivery_mode = 1;   // transient: the broker's disk is not what is measured
        for (long i = 0; i < count; ++i) {
            const std::string body = order(size, i);
            c.publish("", in, false, p, body.data(), body.size());
        }
        // Wait until the broker holds them all.
        for (int i = 0; i < 600 && c.queueDepth(in) < static_cast<std::uint32_t>(count); ++i) ::usleep(50000);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarn_flow_bench: %s\n", e.what());
        return 1;
    }
    std::vector<std::string> args{quarn, "flow", "--broker", url, "--queue", in, "--default", other,
                                  "--max-messages", std::to_string(count), "--json", "--prefetch", "64"};
    if (mode != "forward") args.insert(args.end(), {"--route", "order/header/region=EU->" + eu});
    if (mode == "full") args.push_back("--full-walk");
    int fds[2];
    if (::pipe(fds) != 0) return 1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::close(fds[0]);
        std::vector<char*> argv2;
        for (std::string& a : args) argv2.push_back(a.data());
        argv2.push_back(nullptr);
        ::execv(quarn.c_str(), argv2.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
    auto number = [&](const char* name) {
        std::size_t at = out.rfind(std::string("\"") + name + "\": ");
        return at == std::string::npos ? -1.0 : std::atof(out.c_str() + at + std::string(name).size() + 4);
    };
    try {
        // What was routed is not kept: the next run starts from empty queues on a lean broker.
        AmqpConnection c(AmqpConnection::Address::parse(url));
        for (const std::string& q : {in, eu, other, in + ".dead"}) c.deleteQueue(q);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quarn_flow_bench: %s\n", e.what());
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || number("settled") != count) {
        std::fprintf(stderr, "quarn_flow_bench: the flow failed: %s\n", out.c_str());
        return 1;
    }
    std::printf("size=%zu mode=%s messages=%ld seconds=%.3f rate=%.1f\n", size, mode.c_str(), count,
                number("seconds"), number("messages_per_second"));
    return 0;
}
