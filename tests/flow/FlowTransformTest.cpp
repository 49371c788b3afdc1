// The parts of quarn flow that need no broker: routing rules and flow files, and what the flow
// does to one message (page, lazy routing, edits, output page, dead-letter errors).
#include "tests/tools/LinkedParser.hpp"
#include "cli/UsageError.hpp"
#include "flow/FlowOptions.hpp"
#include "flow/FlowTransform.hpp"

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>

namespace {
const KelParserInspector& inspector() { return quarntest::linkedInspector(); }

FlowOptions flow(std::vector<std::string> args) {
    std::vector<std::string> all{"--queue", "in", "--default", "other"};
    all.insert(all.end(), args.begin(), args.end());
    return FlowOptions::parse(all);
}

struct Processed {
    FlowTransform::Outcome outcome;
    std::string bytes;
};

Processed process(FlowTransform& t, const std::string& message, int ccsid = -1, int encoding = -1) {
    Processed r{t.process(reinterpret_cast<const unsigned char*>(message.data()), message.size(), ccsid, encoding), {}};
    // What passes through is the message's own bytes, not a copy.
    if (!r.outcome.rewritten) {
        EXPECT_EQ(r.outcome.data, reinterpret_cast<const unsigned char*>(message.data()));
    }
    r.bytes.assign(reinterpret_cast<const char*>(r.outcome.data), r.outcome.size);
    return r;
}

std::string libxml2RootAttribute(const std::string& bytes, const char* name) {
    xmlDocPtr doc = xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr, XML_PARSE_NONET);
    if (!doc) return "<unreadable>";
    std::string value = "<none>";
    if (xmlChar* v = xmlGetProp(xmlDocGetRootElement(doc), reinterpret_cast<const xmlChar*>(name))) {
        value = reinterpret_cast<const char*>(v);
        xmlFree(v);
    }
    xmlFreeDoc(doc);
    return value;
}

std::string utf16le(const std::string& ascii, bool mark) {
    std::string s = mark ? std::string("\xFF\xFE", 2) : std::string();
    for (char c : ascii) s += std::string{c, '\0'};
    return s;
}
} // namespace

TEST(FlowRules, RoutesAreParsedWithTheirValuesAndBadOnesRefused) {
    FlowRouter::Rule r = FlowRouter::parseRule("  order/note = Deliver before noon ->  orders.noon ");
    EXPECT_EQ(r.path.text(), "order/note");
    EXPECT_TRUE(r.hasValue);
    EXPECT_EQ(r.value, "Deliver before noon");
    EXPECT_EQ(r.key, "orders.noon");
    // A value may hold '=' and '-', the key is what follows the last arrow.
    r = FlowRouter::parseRule("order/@code=a=b->c->k");
    EXPECT_EQ(r.value, "a=b->c");
    EXPECT_EQ(r.key, "k");
    r = FlowRouter::parseRule("order/express->fast");
    EXPECT_FALSE(r.hasValue);
    // '=' inside a predicate or a quoted literal belongs to the path.
    r = FlowRouter::parseRule("order[@region='E=U'][n=\"1\"] -> eu");
    EXPECT_EQ(r.path.text(), "order[@region='E=U'][n=\"1\"]");
    EXPECT_FALSE(r.hasValue);
    r = FlowRouter::parseRule("order[@region='EU']/@id = 7 -> k");
    EXPECT_EQ(r.path.text(), "order[@region='EU']/@id");
    EXPECT_EQ(r.value, "7");
    for (const char* bad : {"order/@a=1", "order/@a=1 -> ", " -> k", "order[ -> k", "count(order) -> k", "order/@ -> k"})
        EXPECT_THROW(FlowRouter::parseRule(bad), std::invalid_argument) << bad;
    EXPECT_THROW(FlowRouter::parseRule("a -> " + std::string(256, 'k')), std::invalid_argument);
}

TEST(FlowRules, FlowFileAndCommandLineTogether) {
    FlowOptions o;
    o.readFlowText("# orders\nqueue orders.in\n\n  route order/@region = EU -> orders.eu\ndefault orders.other\n"
                   "set order/@routed=yes\nout-ccsid 1200\nprefetch 7\n",
                   "orders.flow");
    EXPECT_EQ(o.queue, "orders.in");
    ASSERT_EQ(o.router.rules().size(), 1u);
    EXPECT_EQ(o.router.defaultKey(), "orders.other");
    EXPECT_EQ(o.message.edits.size(), 1u);
    EXPECT_EQ(o.message.outCcsid, 1200);
    EXPECT_EQ(o.prefetch, 7);
    EXPECT_FALSE(o.passesThrough());
    try {
        o.readFlowText("queue a\nroute order/@x\n", "f.flow");
        FAIL() << "a route without a key is refused";
    } catch (const UsageError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("f.flow:2: ", 0), 0u) << e.what();
    }
    EXPECT_THROW(o.readFlowText("prefetch 0\n", "f"), UsageError);
    EXPECT_THROW(o.readFlowText("colour blue\n", "f"), UsageError);
    // An encoding value names a byte order in its low four bits, as --encoding's does.
    EXPECT_THROW(o.readFlowText("encoding 3\n", "f"), UsageError);
    EXPECT_THROW(o.readFlowText("out-encoding 1200\n", "f"), UsageError);
    EXPECT_NO_THROW(o.readFlowText("out-encoding 273\n", "f"));
    EXPECT_THROW(o.readFlowText("queue\n", "f"), UsageError);
    // A name the broker cannot be sent, or a URL it cannot be reached by, is refused at its line:
    // a queue name of 256 bytes was found only when declared, as a lost connection, made again for ever.
    const std::string name256(256, 'q');
    for (const std::string& bad : {"queue " + name256, "dead-letter " + name256, "exchange " + name256, std::string("broker http://x")})
        try {
            FlowOptions f;
            f.readFlowText("# settings\n" + bad + "\n", "f.flow");
            ADD_FAILURE() << bad.substr(0, 20) << " is refused";
        } catch (const UsageError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("f.flow:2: ", 0), 0u) << e.what();
        }
    EXPECT_THROW(FlowOptions::parse({"--queue", std::string(251, 'q'), "--default", "x"}), UsageError)
        << "its dead-letter queue would be 256 bytes";
    EXPECT_NO_THROW(FlowOptions::parse({"--queue", std::string(250, 'q'), "--default", "x"}));
    // A set's path ends at the first '=' outside predicates and quotes, as write's --set takes it.
    const struct {
        std::vector<std::string> args;
        const char* path;
        const char* value;
    } sets[] = {
        {{"--set", "order[@id='1']/qty=5"}, "order[@id='1']/qty", "5"},
        {{"--set", "a[@k=1][b='x=y']/c=v=w"}, "a[@k=1][b='x=y']/c", "v=w"},
        {{"--set", "a/@b="}, "a/@b", ""},
    };
    for (const auto& s : sets) {
        SCOPED_TRACE(s.args[1]);
        FlowOptions fromFile;
        fromFile.readFlowText("set " + s.args[1] + "\n", "f");
        const FlowOptions fromCommand = flow(s.args);
        const FlowOptions* const both[] = {&fromFile, &fromCommand};
        for (const FlowOptions* f : both) {
            ASSERT_EQ(f->message.edits.size(), 1u);
            EXPECT_EQ(f->message.edits[0].path, s.path);
            EXPECT_EQ(f->message.edits[0].value, s.value);
        }
    }

    FlowOptions c = flow({"--route", "a/@b=1->x", "--prefetch", "3"});
    EXPECT_EQ(c.deadLetter, "in.dead");
    EXPECT_EQ(c.prefetch, 3);
    EXPECT_TRUE(c.passesThrough());
    EXPECT_TRUE(c.needsParser());
    EXPECT_TRUE(flow({}).needsParser()) << "what is forwarded is checked first";
    EXPECT_FALSE(flow({"--no-check"}).needsParser()) << "forwarding unchecked to the default key needs no parser";
    EXPECT_THROW(FlowOptions::parse({"--queue", "in"}), UsageError) << "no default key";
    EXPECT_THROW(FlowOptions::parse({"--default", "x"}), UsageError) << "no queue";
    // Publishing into the queue the flow takes from would loop for ever.
    EXPECT_THROW(flow({"--route", "a->in"}), UsageError);
    EXPECT_THROW(flow({"--dead-letter", "in"}), UsageError);
    EXPECT_NO_THROW(flow({"--route", "a->in", "--exchange", "amq.topic"}));
}

// The first matching rule wins, values compare with element text and attribute values, and a
// message is built no further than its routing field. What it passes on unscanned is checked
// first, so a broken tail is dead-lettered; with --no-check it is not seen, unless the flow walks
// every message whole, which then finds the fault and reports where.
TEST(FlowTransform, RoutesLazilyByTheFirstRuleThatMatches) {
    const std::vector<std::string> rules{"--route", "order/priority=high->urgent", "--route", "order/@region=EU->eu",
                                         "--route", "order/express->fast"};
    const std::string brokenTail = "<order region='EU'><priority>normal</priority><item>x</order>";
    const FlowOptions checking = flow(rules);
    FlowTransform checked(checking, inspector());
    EXPECT_TRUE(process(checked, brokenTail).outcome.deadLetter) << "a broken tail passed on";
    std::vector<std::string> unchecked = rules;
    unchecked.push_back("--no-check");
    const FlowOptions o = flow(unchecked);
    FlowTransform t(o, inspector());
    Processed r = process(t, brokenTail);
    ASSERT_FALSE(r.outcome.deadLetter) << r.outcome.errorText;
    EXPECT_EQ(r.outcome.key, "eu");
    EXPECT_EQ(r.bytes, brokenTail) << "passed through as its own bytes";
    EXPECT_EQ(r.outcome.bytesCopied, static_cast<long>(brokenTail.size()));
    EXPECT_EQ(process(t, "<order region='EU'><priority>high</priority></order>").outcome.key, "urgent");
    EXPECT_EQ(process(t, "<order region='US'><express/></order>").outcome.key, "fast");
    EXPECT_EQ(process(t, "<order region='eu'/>").outcome.key, "other") << "values compare exactly";
    EXPECT_EQ(process(t, "<invoice region='EU'/>").outcome.key, "other");

    // A predicate looks at every node it may match: the second priority counts, and the message
    // is read to its end for it, where the value form compares the first one only.
    const FlowOptions predicate = flow({"--route", "order[priority='high']->urgent"});
    FlowTransform pr(predicate, inspector());
    const std::string twoPriorities = "<order><priority>normal</priority><priority>high</priority></order>";
    EXPECT_EQ(process(pr, twoPriorities).outcome.key, "urgent");
    EXPECT_EQ(process(t, twoPriorities).outcome.key, "other");
    EXPECT_TRUE(process(pr, brokenTail).outcome.deadLetter);

    const FlowOptions whole = flow({"--route", "order/@region=EU->eu", "--full-walk"});
    FlowTransform w(whole, inspector());
    r = process(w, "<order region='EU'>\n<item>x</order>");
    ASSERT_TRUE(r.outcome.deadLetter);
    EXPECT_EQ(r.outcome.errorNumber, 5009);
    EXPECT_EQ(r.outcome.errorLine, 2);
    EXPECT_GT(r.outcome.errorColumn, 0);
    EXPECT_NE(r.outcome.errorText.find("expected end of tag 'item'"), std::string::npos) << r.outcome.errorText;
    // A limit passed says where too (it said 0:0): a name too long on line 2, and nesting too deep.
    std::string deep = "<order region='EU'>\n";
    for (int i = 0; i < 1000001; ++i) deep += "<a>";
    const struct {
        std::string message;
        long line;
    } limits[] = {{"<order region='EU'>\n<" + std::string(5000, 'n') + "/></order>", 2}, {deep, 2}};
    for (const auto& l : limits) {
        r = process(w, l.message);
        ASSERT_TRUE(r.outcome.deadLetter);
        EXPECT_NE(r.outcome.errorText.find("limit"), std::string::npos) << r.outcome.errorText.substr(0, 300);
        EXPECT_EQ(r.outcome.errorLine, l.line) << r.outcome.errorText.substr(0, 300);
        EXPECT_GT(r.outcome.errorColumn, 0);
    }
    // The parser that failed does not carry anything over to the next message.
    r = process(w, "<order region='EU'><item>x</item></order>");
    EXPECT_FALSE(r.outcome.deadLetter) << r.outcome.errorText;
    EXPECT_EQ(r.outcome.key, "eu");
}

// A message's page: its headers first, else a byte-order mark or UTF-16's zero bytes, else the
// flow's; written in the output page with the edits, as a consumer (libxml2) reads it.
TEST(FlowTransform, PagesFromHeadersOrBytesAndWrittenWithEdits) {
    // Without headers: a big-endian mark, and EBCDIC by its declaration, found as for files.
    const FlowOptions plain = flow({"--route", "order/@region=EU->eu"});
    FlowTransform p(plain, inspector());
    std::string be("\xFE\xFF", 2);
    for (char c : std::string("<order region='EU'/>")) be += std::string{'\0', c};
    Processed found = process(p, be);
    ASSERT_FALSE(found.outcome.deadLetter) << found.outcome.errorText;
    EXPECT_EQ(found.outcome.key, "eu");
    EXPECT_EQ(found.outcome.ccsid, 1200);
    EXPECT_EQ(found.outcome.encoding & 0xF, 1);
    // <?xml version="1.0" encoding="ebcdic-cp-us"?><order region='EU'/> in code page 37.
    const std::string declared = "\x4C\x6F\xA7\x94\x93\x40\xA5\x85\x99\xA2\x89\x96\x95\x7E\x7F\xF1\x4B\xF0\x7F\x40"
                                 "\x85\x95\x83\x96\x84\x89\x95\x87\x7E\x7F\x85\x82\x83\x84\x89\x83\x60\x83\x97\x60"
                                 "\xA4\xA2\x7F\x6F\x6E\x4C\x96\x99\x84\x85\x99\x40\x99\x85\x87\x89\x96\x95\x7E\x7D"
                                 "\xC5\xE4\x7D\x61\x6E";
    found = process(p, declared);
    ASSERT_FALSE(found.outcome.deadLetter) << found.outcome.errorText;
    EXPECT_EQ(found.outcome.key, "eu");
    EXPECT_EQ(found.outcome.ccsid, 37);
    // The flow's own ccsid decides for a message without headers; a header decides over both.
    const FlowOptions fixed = flow({"--route", "order/@region=EU->eu", "--ccsid", "37"});
    FlowTransform f(fixed, inspector());
    found = process(f, std::string("\x4C\x96\x99\x84\x85\x99\x40\x99\x85\x87\x89\x96\x95\x7E\x7D\xC5\xE4\x7D\x61\x6E", 20));
    EXPECT_EQ(found.outcome.key, "eu") << found.outcome.errorText;
    found = process(f, "<order region='EU'/>", 1208);
    EXPECT_EQ(found.outcome.key, "eu") << found.outcome.errorText;
    EXPECT_EQ(found.outcome.ccsid, 1208);

    const FlowOptions o = flow({"--route", "order/@region=EU->eu", "--set", "order/@checked=yes", "--out-ccsid", "1208"});
    FlowTransform t(o, inspector());
    Processed r = process(t, utf16le("<order region='EU' id='7'><n>\xC3</n></order>", true));
    ASSERT_FALSE(r.outcome.deadLetter) << r.outcome.errorText;
    EXPECT_EQ(r.outcome.key, "eu");
    EXPECT_TRUE(r.outcome.rewritten);
    EXPECT_EQ(r.outcome.ccsid, 1208);
    EXPECT_EQ(libxml2RootAttribute(r.bytes, "checked"), "yes");
    EXPECT_EQ(libxml2RootAttribute(r.bytes, "id"), "7");
    EXPECT_EQ(static_cast<std::size_t>(r.outcome.bytesCopied + r.outcome.bytesRewritten), r.bytes.size());

    // EBCDIC 37 by its header: <order region='EU'/> with the attribute added.
    const std::string ebcdic("\x4C\x96\x99\x84\x85\x99\x40\x99\x85\x87\x89\x96\x95\x7E\x7D\xC5\xE4\x7D\x61\x6E", 20);
    r = process(t, ebcdic, 37, 785);
    ASSERT_FALSE(r.outcome.deadLetter) << r.outcome.errorText;
    EXPECT_EQ(r.outcome.key, "eu");
    EXPECT_EQ(libxml2RootAttribute(r.bytes, "checked"), "yes");
    EXPECT_EQ(r.outcome.encoding, 785) << "the encoding the headers gave goes out with the message";

    // A page the headers name that no converter knows is the message's fault, not the flow's.
    r = process(t, "<order/>", 99999);
    EXPECT_TRUE(r.outcome.deadLetter);
    EXPECT_EQ(r.outcome.errorNumber, 2340);
    // An edit whose element the message lacks: a dead letter, never a message half edited.
    const FlowOptions missing = flow({"--set", "order/header/@x=1"});
    FlowTransform m(missing, inspector());
    r = process(m, "<order/>");
    EXPECT_TRUE(r.outcome.deadLetter);
    EXPECT_EQ(r.outcome.errorNumber, 0);
    EXPECT_EQ(r.bytes, "<order/>");
}

// An empty message is no document, whatever the flow does with messages: routing by a rule,
// walking whole, editing, writing in another page, or only forwarding to the default key. Each
// dead-letters it with the parser's own fault (no body, under the parse error), as quarn refuses
// an empty file; the dead letter is the message as it came, and the next message goes on.
TEST(FlowTransform, EmptyMessagesAreDeadLetteredByEveryKindOfFlow) {
    const std::vector<std::vector<std::string>> flows{{"--route", "order/@region=EU->eu"},
                                                      {"--full-walk"},
                                                      {"--set", "order/@checked=yes"},
                                                      {"--out-ccsid", "1200"},
                                                      {}};
    for (const std::vector<std::string>& args : flows) {
        std::string name;
        for (const std::string& a : args) name += a + " ";
        const FlowOptions o = flow(args);
        FlowTransform t(o, inspector());
        for (int ccsid : {-1, 1208, 1200}) {
            SCOPED_TRACE(name + "ccsid " + std::to_string(ccsid));
            const Processed r = process(t, std::string(), ccsid);
            EXPECT_TRUE(r.outcome.deadLetter);
            EXPECT_EQ(r.outcome.errorNumber, 5009);
            EXPECT_NE(r.outcome.errorText.find("No valid body of the document could be found."), std::string::npos)
                << r.outcome.errorText;
            EXPECT_EQ(r.bytes, "");
            const Processed next = process(t, "<order region='EU'/>", ccsid == 1200 ? 1208 : ccsid);
            EXPECT_FALSE(next.outcome.deadLetter) << next.outcome.errorText;
        }
    }
}
