// The flow runner against a broker of the test's own, in memory, behind the same BrokerConnection
// the AMQP connection implements: routing, dead letters (a broken message, a bad header, a key no
// queue takes), acknowledgement only after the broker confirmed, and the counters. No broker runs.
#include "tests/tools/LinkedParser.hpp"
#include "tests/tools/QuarnRun.hpp"
#include "flow/BrokerConnection.hpp"
#include "flow/FlowCounters.hpp"
#include "flow/FlowDeadLetters.hpp"
#include "flow/FlowOptions.hpp"
#include "flow/FlowRunner.hpp"
#include "flow/FlowSender.hpp"
#include "host/KelStringBase.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

using Header = BrokerMessage::Header;
using Value = BrokerMessage::Value;

struct MemoryNative : BrokerMessage::Native {
    std::string body;
    std::vector<Header> headers;
};

struct Sent {
    std::string key;
    std::string body;
    std::vector<Header> headers;
    const Value* header(const std::string& name) const {
        for (const Header& h : headers)
            if (h.first == name) return &h.second;
        return nullptr;
    }
};

// Queues by name; a key on the default exchange reaches the queue of that name, on any other
// exchange the queues bound to it by that key. Confirms come at once, a return before its confirm.
struct MemoryBroker {
    std::map<std::string, std::deque<std::shared_ptr<MemoryNative>>> ready;
    std::set<std::string> bound;   // keys routed on the flow's exchange
    std::map<std::string, std::vector<Sent>> published;   // by queue
    std::vector<std::uint64_t> acked, rejected;
    std::uint64_t nextTag = 1;
    bool holdConfirms = false;   // as a broker that blocks publishers (a memory or disk alarm)
    // Messages (key, body) that no queue takes though their key is routed: one of a queue deleted
    // while it was sent, one a headers exchange routes by its headers.
    std::set<std::pair<std::string, std::string>> unroutable;
    // The confirm of a routed message waits while this queue has messages ready, as that of a
    // persistent message waits for its queue; a return and its confirm come at once, as a broker sends them.
    std::string routedAcksWaitFor;
    // Messages (key, body) the broker refuses (a nack), as a queue over its length limit does.
    std::set<std::pair<std::string, std::string>> refused;
    // The connection is lost once this many confirms have been read (0: never).
    std::size_t loseAfterConfirms = 0;
    unsigned long consumerKeptAlive = 0;   // keepAlive calls on a connection that consumes

    void put(const std::string& queue, std::string body, std::vector<Header> headers = {}) {
        auto m = std::make_shared<MemoryNative>();
        m->body = std::move(body);
        m->headers = std::move(headers);
        ready[queue].push_back(m);
    }
};

class MemoryConnection : public BrokerConnection {
public:
    explicit MemoryConnection(MemoryBroker& broker) : iBroker(broker) {}

    std::string where() const override { return "memory"; }
    void declareQueue(const std::string& name) override { iBroker.ready[name]; }
    std::uint32_t queueDepth(const std::string& name) override {
        return static_cast<std::uint32_t>(iBroker.ready[name].size());
    }
    void prefetch(std::uint16_t) override {}
    void consume(const std::string& queue) override { iQueue = queue; }
    void ack(std::uint64_t tag) override { iBroker.acked.push_back(tag); }
    void reject(std::uint64_t tag, bool) override { iBroker.rejected.push_back(tag); }
    void selectConfirms() override { iSequence = 1; }
    void keepAlive() override {
        if (!iQueue.empty()) ++iBroker.consumerKeptAlive;
    }

    std::uint64_t publish(const std::string& exchange, const std::string& key, bool mandatory,
                          const Properties& properties, const void* body, std::size_t size) override {
        Sent sent{key, std::string(static_cast<const char*>(body), size), {}};
        if (properties.like) {
            const auto* native = dynamic_cast<const MemoryNative*>(properties.like->native.get());
            if (!native) throw std::invalid_argument("not a message of this broker");
            for (const Header& h : native->headers) {
                bool left = false;
                for (const Header& s : properties.set) left = left || s.first == h.first;
                for (const std::string& d : properties.dropped) left = left || d == h.first;
                if (!left) sent.headers.push_back(h);
            }
        }
        sent.headers.insert(sent.headers.end(), properties.set.begin(), properties.set.end());
        const bool routable = (exchange.empty() ? iBroker.ready.count(key) != 0 : iBroker.bound.count(key) != 0) &&
                              iBroker.unroutable.count({key, sent.body}) == 0;
        if (routable) {
            iBroker.published[key].push_back(sent);
        } else if (mandatory) {
            Confirm back;
            back.kind = Confirm::Return;
            back.routingKey = key;
            back.reason = "NO_ROUTE";
            back.fingerprint = fingerprint(body, size);
            iConfirms.push_back(back);
        }
        const std::uint64_t sequence = iSequence ? iSequence++ : 0;
        Confirm ack;
        ack.sequence = sequence;
        if (iBroker.refused.count({key, sent.body})) ack.kind = Confirm::Nack;
        if (sequence) (routable && !iBroker.routedAcksWaitFor.empty() ? iLater : iConfirms).push_back(ack);
        return sequence;
    }

    bool next(int, BrokerMessage& message) override {
        auto& queue = iBroker.ready[iQueue];
        if (iQueue.empty() || queue.empty()) return false;
        std::shared_ptr<MemoryNative> m = queue.front();
        queue.pop_front();
        message.tag = iBroker.nextTag++;
        message.redelivered = false;
        message.body = reinterpret_cast<const unsigned char*>(m->body.data());
        message.size = m->body.size();
        message.headers = m->headers;
        message.native = m;
        return true;
    }

    void readConfirms(int, const std::function<void(const Confirm&)>& onConfirm) override {
        if (iBroker.holdConfirms) return;
        std::deque<Confirm> now;
        now.swap(iConfirms);
        if (!iLater.empty() && iBroker.ready[iBroker.routedAcksWaitFor].empty()) {
            now.insert(now.end(), iLater.begin(), iLater.end());
            iLater.clear();
        }
        for (const Confirm& c : now) {
            if (iBroker.loseAfterConfirms && iRead++ == iBroker.loseAfterConfirms)
                throw Error("connection to the broker lost when waiting for confirms", true);
            onConfirm(c);
        }
    }
    bool hasBuffered() const noexcept override {
        if ((!iConfirms.empty() || !iLater.empty()) && !iBroker.holdConfirms) return true;
        auto it = iBroker.ready.find(iQueue);
        return !iQueue.empty() && it != iBroker.ready.end() && !it->second.empty();
    }
    int socket() const noexcept override { return -1; }

private:
    MemoryBroker& iBroker;
    std::string iQueue;
    std::uint64_t iSequence = 0;
    std::deque<Confirm> iConfirms;
    std::size_t iRead = 0;   // confirms read
    std::deque<Confirm> iLater;   // confirms of routed messages, while routedAcksWaitFor has messages ready
};

struct FlowRun {
    FlowCounters counters;
    std::string log;
    std::string failure;
    bool failureLost = false;
};

// Runs the flow to its end; a failure it ends with is kept in `result.failure`.
void run(MemoryBroker& broker, const std::vector<std::string>& arguments, FlowRun& result, double stopWait = 30) {
    const FlowOptions options = FlowOptions::parse(arguments);
    std::FILE* log = std::tmpfile();
    std::FILE* report = std::tmpfile();
    ASSERT_TRUE(log && report);
    FlowRunner runner(options, [&broker] { return std::make_unique<MemoryConnection>(broker); },
                      quarntest::linkedInspector(), result.counters, report, log);
    runner.setStopWait(stopWait);
    try {
        runner.run();
    } catch (const BrokerConnection::Error& e) {
        result.failure = e.what();
        result.failureLost = e.lost;
    }
    std::rewind(log);
    char line[512];
    while (std::fgets(line, sizeof line, log)) result.log += line;
    std::fclose(log);
    std::fclose(report);
}

std::string text(const Value* v) {
    if (!v) return "<none>";
    return v->kind == Value::Number ? std::to_string(v->number) : v->kind == Value::Text ? v->text : "<other>";
}

} // namespace

// A page header's text is a number only when it is decimal digits and nothing else: a value the
// sender cut with a zero byte, or padded, is not read as the number it starts with.
TEST(FlowRunnerSeam, APageHeaderInTextIsDigitsAndNothingElse) {
    MemoryBroker broker;
    const std::vector<std::string> values{std::string("1208\0junk", 9), " 1208", "+1208", "1208 ", "1208"};
    for (const std::string& v : values) broker.put("in", "<order/>", {{"quarn-ccsid", Value::of(v)}});
    FlowRun r;
    run(broker, {"--queue", "in", "--default", "out", "--max-messages", "5", "--idle-exit", "20"}, r);
    const std::vector<Sent>& dead = broker.published["in.dead"];
    ASSERT_EQ(dead.size(), 4u);
    for (const Sent& d : dead)
        EXPECT_NE(text(d.header("quarn-error-text")).find("quarn-ccsid is not a number"), std::string::npos);
    ASSERT_EQ(broker.published["out"].size(), 1u);
}

TEST(FlowRunnerSeam, RoutesDeadLettersAndCountsWithABrokerInMemory) {
    MemoryBroker broker;
    broker.bound = {"orders.eu", "orders.other"};
    const Header trace{"trace-id", Value::of(std::string("t-1"))};
    broker.put("in", "<order region='EU'><id>1</id></order>", {trace});
    broker.put("in", "<order region='US'><id>2</id></order>");
    broker.put("in", "<order region='EU'><id>3</id>", {trace});                        // cut off
    broker.put("in", "<order region='EU'/>", {{"quarn-ccsid", Value::of(std::string("x"))}});   // bad header
    broker.put("in", "<order region='XX'/>", {trace});                                  // a key nobody takes
    broker.put("in", "<order region='EU'/>", {{"quarn-encoding", Value::of(0)}});       // no byte order
    FlowRun r;
    run(broker,
        {"--queue", "in", "--exchange", "orders", "--default", "orders.other", "--route", "order/@region=EU->orders.eu",
         "--route", "order/@region=XX->orders.nowhere", "--max-messages", "6", "--idle-exit", "20"},
        r);

    EXPECT_NE(r.log.find("consuming from in at memory"), std::string::npos) << r.log;
    // Routed as the rules say, bodies unchanged, the headers it came with kept.
    ASSERT_EQ(broker.published["orders.eu"].size(), 1u);
    EXPECT_EQ(broker.published["orders.eu"][0].body, "<order region='EU'><id>1</id></order>");
    EXPECT_EQ(text(broker.published["orders.eu"][0].header("trace-id")), "t-1");
    ASSERT_EQ(broker.published["orders.other"].size(), 1u);
    EXPECT_EQ(broker.published["orders.other"][0].body, "<order region='US'><id>2</id></order>");

    // Four dead letters, in the order they failed, each with its own bytes, its error and the
    // headers it came with. An encoding header is held to the rule --encoding is held to.
    const std::vector<Sent>& dead = broker.published["in.dead"];
    ASSERT_EQ(dead.size(), 4u);
    EXPECT_EQ(dead[0].body, "<order region='EU'><id>3</id>");
    EXPECT_NE(text(dead[0].header("quarn-error-number")), "0");
    EXPECT_NE(text(dead[0].header("quarn-error-line")), "<none>");
    EXPECT_EQ(text(dead[0].header("quarn-error-queue")), "in");
    EXPECT_EQ(text(dead[0].header("trace-id")), "t-1");
    EXPECT_EQ(dead[1].body, "<order region='EU'/>");
    EXPECT_EQ(text(dead[1].header("quarn-error-number")), "0");
    EXPECT_NE(text(dead[1].header("quarn-error-text")).find("quarn-ccsid"), std::string::npos);
    EXPECT_EQ(dead[2].body, "<order region='XX'/>");
    EXPECT_NE(text(dead[2].header("quarn-error-text")).find("orders.nowhere"), std::string::npos);
    EXPECT_EQ(text(dead[2].header("trace-id")), "t-1");
    EXPECT_EQ(dead[3].body, "<order region='EU'/>");
    EXPECT_NE(text(dead[3].header("quarn-error-text")).find("quarn-encoding"), std::string::npos);

    // Every input acknowledged once, after its output was confirmed; none handed back.
    std::vector<std::uint64_t> acked = broker.acked;
    std::sort(acked.begin(), acked.end());
    EXPECT_EQ(acked, (std::vector<std::uint64_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_TRUE(broker.rejected.empty());
    EXPECT_EQ(r.counters.receivedCount(), 6u);
    EXPECT_EQ(r.counters.settledCount(), 6u);
    EXPECT_EQ(r.counters.deadLetteredCount(), 4u);
    EXPECT_EQ(r.counters.routedByKey(), (std::map<std::string, unsigned long>{{"orders.eu", 1}, {"orders.other", 1}}));
}

TEST(FlowRunnerSeam, AMessageWrittenAnewSaysItsPageAndKeepsItsOtherHeaders) {
    MemoryBroker broker;
    broker.put("in", "<order region='EU'/>", {{"trace-id", Value::of(std::string("t-2"))},
                                              {"quarn-ccsid", Value::of(1208)}});
    FlowRun r;
    run(broker,
        {"--queue", "in", "--default", "out", "--set", "order/@seen=yes", "--out-ccsid", "1200", "--max-messages", "1",
         "--idle-exit", "20"},
        r);
    // On the default exchange the runner makes the queue its key names.
    ASSERT_EQ(broker.published["out"].size(), 1u);
    const Sent& out = broker.published["out"][0];
    EXPECT_EQ(text(out.header("quarn-ccsid")), "1200");
    EXPECT_NE(text(out.header("quarn-encoding")), "<none>");
    EXPECT_EQ(text(out.header("trace-id")), "t-2");
    int ccsids = 0;
    for (const Header& h : out.headers) ccsids += h.first == "quarn-ccsid";
    EXPECT_EQ(ccsids, 1) << "the page header is replaced, not added twice";
    EXPECT_EQ(broker.acked, (std::vector<std::uint64_t>{1}));
    EXPECT_EQ(r.counters.settledCount(), 1u);
}

// An error text is cut to fit a header; the cut falls between characters, so the header stays
// UTF-8 for the consumers and the listing that decode it.
TEST(FlowRunnerSeam, AnErrorTextCutToFitAHeaderStaysUtf8) {
    for (const std::string letter : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8C\x8D"}) {
        MemoryBroker broker;
        std::string name;
        while (name.size() < 6000) name += letter;   // within the name length limit
        broker.put("in", "<" + name + "></b>");
        FlowRun r;
        run(broker, {"--queue", "in", "--default", "out", "--route", "a->x", "--max-messages", "1", "--idle-exit", "20"}, r);
        ASSERT_EQ(broker.published["in.dead"].size(), 1u);
        const std::string error = text(broker.published["in.dead"][0].header("quarn-error-text"));
        EXPECT_GT(error.size(), 3000u);
        EXPECT_LE(error.size(), 4000u);
        EXPECT_NO_THROW(KelStringBase::fromValidUtf8(error)) << error.substr(error.size() - 8);
    }
}

// A stop waits for the confirms of what is in flight, but not for ever: a broker that blocks
// publishers confirms nothing while its alarm lasts, and the flow used to wait silently until
// killed. It says what it waits for, gives up after the wait with a failure (status 6 from the
// command), and acknowledges nothing it was not confirmed, so the broker delivers it again.
// Meanwhile the consuming connection, which is not read, is kept alive.
TEST(FlowRunnerSeam, AStopGivesUpOnConfirmsThatNeverComeAndAcknowledgesNothing) {
    MemoryBroker broker;
    broker.holdConfirms = true;
    for (int i = 0; i < 3; ++i) broker.put("in", "<order/>");
    FlowRun r;
    run(broker, {"--queue", "in", "--default", "out", "--max-messages", "3", "--idle-exit", "20"}, r, 0.5);
    EXPECT_NE(r.log.find("waiting for the broker to confirm 3 messages in flight"), std::string::npos) << r.log;
    EXPECT_NE(r.failure.find("stopped with 3 messages in flight that the broker did not confirm"), std::string::npos)
        << r.failure;
    EXPECT_FALSE(r.failureLost) << "a given-up stop ends the flow; it is not retried";
    EXPECT_EQ(broker.published["out"].size(), 3u);
    EXPECT_TRUE(broker.acked.empty());
    EXPECT_TRUE(broker.rejected.empty());
    EXPECT_EQ(r.counters.receivedCount(), 3u);
    EXPECT_EQ(r.counters.settledCount(), 0u);
    // Not read while it waits, the consuming connection is kept alive, or the broker would drop
    // it and deliver its messages again.
    EXPECT_GT(broker.consumerKeptAlive, 0u);

    // Confirms that do come within the wait settle the stop as before, with no failure.
    MemoryBroker prompt;
    for (int i = 0; i < 3; ++i) prompt.put("in", "<order/>");
    FlowRun settled;
    run(prompt, {"--queue", "in", "--default", "out", "--max-messages", "3", "--idle-exit", "20"}, settled, 0.5);
    EXPECT_EQ(settled.failure, "");
    EXPECT_EQ(prompt.acked.size(), 3u);
    EXPECT_EQ(settled.counters.settledCount(), 3u);
}

// A message the broker returns is known by its key and its bytes. The broker sends a return (and
// its confirm) at once, but confirms a routed persistent message only once its queue has it: the
// return of the second of two messages under one key can come before the confirm of the first.
// The runner took the return for the first (the first in flight under the key), so the routed
// message was dead-lettered as well and the returned one was acknowledged: lost.
TEST(FlowRunnerSeam, AReturnNamesItsOwnMessageWhenAnEarlierOneUnderItsKeyIsNotYetConfirmed) {
    MemoryBroker broker;
    broker.bound = {"orders.eu"};
    broker.routedAcksWaitFor = "in";
    broker.put("in", "<order region='EU'><id>1</id></order>");
    broker.put("in", "<order region='EU'><id>2</id></order>");
    broker.unroutable = {{"orders.eu", "<order region='EU'><id>2</id></order>"}};
    FlowRun r;
    run(broker, {"--queue", "in", "--exchange", "orders", "--default", "orders.eu", "--max-messages", "2", "--idle-exit", "20"},
        r);
    ASSERT_EQ(r.failure, "");
    ASSERT_EQ(broker.published["orders.eu"].size(), 1u);
    EXPECT_EQ(broker.published["orders.eu"][0].body, "<order region='EU'><id>1</id></order>");
    const std::vector<Sent>& dead = broker.published["in.dead"];
    ASSERT_EQ(dead.size(), 1u) << "only the returned message is dead-lettered\n" << r.log;
    EXPECT_EQ(dead[0].body, "<order region='EU'><id>2</id></order>");
    EXPECT_NE(text(dead[0].header("quarn-error-text")).find("no queue takes routing key orders.eu"), std::string::npos);
    // Each input acknowledged once: the first for its routed copy, the second for its dead letter.
    std::vector<std::uint64_t> acked = broker.acked;
    std::sort(acked.begin(), acked.end());
    EXPECT_EQ(acked, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_TRUE(broker.rejected.empty());
    EXPECT_EQ(r.counters.settledCount(), 2u);
    EXPECT_EQ(r.counters.deadLetteredCount(), 1u);
}

// The commands that publish a batch and wait for it, --send and --dead-letters --requeue, took a
// confirm for "in the queue"; but a message no queue takes comes back and is confirmed all the
// same. --send counted it as sent and exited 0; --requeue took the dead letter off its queue, so
// the message was nowhere. Now neither counts it: the failure names it (status 6 from the command)
// and the dead letter stays where it was.
TEST(FlowRunnerSeam, ABatchPublishTheBrokerReturnsIsNotCountedAsSent) {
    const std::string a = "<order><id>1</id></order>", b = "<order><id>2</id></order>", c = "<order><id>3</id></order>";
    {
        SCOPED_TRACE("--send");
        MemoryBroker broker;
        broker.unroutable = {{"in", b}};
        std::vector<std::string> files;
        for (const std::string* body : {&a, &b, &c}) {
            files.push_back(quarntest::tempPath("send-" + std::to_string(files.size()) + ".xml"));
            quarntest::spit(files.back(), *body);
        }
        const FlowOptions options = FlowOptions::parse({"--queue", "in", "--send", files[0], files[1], files[2]});
        std::string failure;
        bool lost = true;
        try {
            FlowSender(options, [&broker] { return std::make_unique<MemoryConnection>(broker); }).run();
        } catch (const BrokerConnection::Error& e) {
            failure = e.what();
            lost = e.lost;
        }
        EXPECT_FALSE(lost);
        EXPECT_NE(failure.find("2 of 3 files went to in"), std::string::npos) << failure;
        EXPECT_NE(failure.find(files[1] + ": returned: no queue takes routing key in"), std::string::npos) << failure;
        EXPECT_EQ(failure.find(files[0]), std::string::npos) << failure;
        ASSERT_EQ(broker.published["in"].size(), 2u);
        EXPECT_EQ(broker.published["in"][0].body, a);
        EXPECT_EQ(broker.published["in"][1].body, c);

        // A connection lost while the confirms come says which files the broker had confirmed,
        // so that a second run can leave them out; it said only that the connection was lost.
        MemoryBroker losing;
        losing.loseAfterConfirms = 1;
        failure.clear();
        try {
            FlowSender(options, [&losing] { return std::make_unique<MemoryConnection>(losing); }).run();
        } catch (const BrokerConnection::Error& e) {
            failure = e.what();
            lost = e.lost;
        }
        EXPECT_TRUE(lost);
        EXPECT_NE(failure.find("lost when waiting for confirms; 1 of 3 files confirmed in in (" + files[0] +
                               "); 2 more sent but not confirmed, in the queue or not"),
                  std::string::npos)
            << failure;
    }
    {
        SCOPED_TRACE("--dead-letters --requeue");
        MemoryBroker broker;
        broker.unroutable = {{"in", b}};
        for (const std::string* body : {&a, &b, &c}) broker.put("in.dead", *body, {{"quarn-error-number", Value::of(5009)}});
        const FlowOptions options = FlowOptions::parse({"--queue", "in", "--dead-letters", "--requeue"});
        std::FILE* out = std::tmpfile();
        ASSERT_TRUE(out);
        std::string failure;
        try {
            FlowDeadLetters(options, [&broker] { return std::make_unique<MemoryConnection>(broker); }, out).run(true);
        } catch (const BrokerConnection::Error& e) {
            failure = e.what();
        }
        std::fclose(out);
        EXPECT_NE(failure.find("the rest stay dead letters; 2: returned: no queue takes routing key in"),
                  std::string::npos)
            << failure;
        // The two the flow's queue has leave the dead-letter queue; the returned one does not.
        EXPECT_EQ(broker.acked, (std::vector<std::uint64_t>{1, 3}));
        ASSERT_EQ(broker.published["in"].size(), 2u);
        EXPECT_EQ(broker.published["in"][0].body, a);
        EXPECT_EQ(broker.published["in"][0].header("quarn-error-number"), nullptr) << "sent back without the error headers";

        // A connection lost while the confirms come says how many went back and that the others
        // stay dead letters, some perhaps in the flow's queue as well; it said only "lost".
        MemoryBroker losing;
        losing.loseAfterConfirms = 1;
        for (const std::string* body : {&a, &b, &c}) losing.put("in.dead", *body);
        std::FILE* out2 = std::tmpfile();
        ASSERT_TRUE(out2);
        bool lost = false;
        failure.clear();
        try {
            FlowDeadLetters(options, [&losing] { return std::make_unique<MemoryConnection>(losing); }, out2).run(true);
        } catch (const BrokerConnection::Error& e) {
            failure = e.what();
            lost = e.lost;
        }
        std::fclose(out2);
        EXPECT_TRUE(lost);
        EXPECT_NE(failure.find("lost when waiting for confirms; 1 of 3 dead letters sent back to in; the other 2 "
                               "stay dead letters (2 sent but not confirmed, in in or not)"),
                  std::string::npos)
            << failure;
        EXPECT_EQ(losing.acked, (std::vector<std::uint64_t>{1}));
    }
}

// A message the broker refuses (a nack) goes back to its queue to be taken again, and is counted
// neither as routed nor as dead-lettered: it was counted as both, and again when taken again.
TEST(FlowRunnerSeam, AnOutputTheBrokerRefusesGoesBackAndIsNotCountedAsDone) {
    MemoryBroker broker;
    broker.put("in", "<order/>");
    broker.put("in", "<order>");   // broken: a dead letter
    broker.refused = {{"out", "<order/>"}, {"in.dead", "<order>"}};
    FlowRun r;
    run(broker, {"--queue", "in", "--default", "out", "--max-messages", "2", "--idle-exit", "20"}, r);
    ASSERT_EQ(r.failure, "");
    EXPECT_TRUE(broker.acked.empty());
    EXPECT_EQ(broker.rejected, (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(r.counters.settledCount(), 0u);
    EXPECT_TRUE(r.counters.routedByKey().empty());
    EXPECT_EQ(r.counters.deadLetteredCount(), 0u);
}
