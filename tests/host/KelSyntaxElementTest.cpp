// The host element tree: navigation that drives the owning parser, resolving accessors, the name
// hash, the plain setters and the tree-changing operations.
#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelSyntaxElementAccess.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {
// A parser whose "scanner" hands out pre-arranged children one step at a time, recording every
// parse request, so navigation can be checked call by call.
class ScriptedParser : public KelParser {
public:
    explicit ScriptedParser(KelMessageGroup* group) : KelParser(group, sizeof(KelSyntaxElement)) {}
    void initialize() override {
        KelSyntaxElement* root = elementPool().createElement();
        KelSyntaxElementAccess::parserSetName(root, KelStringBase(u"root"));
        setRootElement(root);
    }
    void parseFirstChild(KelSyntaxElement* e) override {
        calls.push_back("first");
        while (!e->isCompleteLeft()) step(e);
    }
    void parseLastChild(KelSyntaxElement* e) override {
        calls.push_back("last");
        while (!e->isCompleteRight()) step(e);
    }
    void parseRightSibling(KelSyntaxElement* e) override {
        calls.push_back("right");
        KelSyntaxElement* p = e->parent();
        while (!e->knownNextSibling() && p && !p->isCompleteRight()) step(p);
    }
    void parseLeftSibling(KelSyntaxElement*) override { calls.push_back("left"); }

    // Each step attaches the next pending child to `container`; the last step completes it.
    void step(KelSyntaxElement* container) {
        ++steps;
        if (pending.empty()) {
            KelSyntaxElementAccess::setCompleteLeft(container);
            KelSyntaxElementAccess::setCompleteRight(container);
            return;
        }
        KelSyntaxElement* child = elementPool().createElement();
        KelSyntaxElementAccess::parserSetName(child, KelStringBase::fromUtf8(pending.front()));
        pending.erase(pending.begin());
        KelSyntaxElementAccess::parserAttachAsLastChild(container, child);
        KelSyntaxElementAccess::setCompleteLeft(container);
    }

    std::vector<std::string> pending;
    std::vector<std::string> calls;
    int steps = 0;
};

std::vector<std::string> childNames(KelSyntaxElement* e) {
    std::vector<std::string> names;
    for (KelSyntaxElement* c = e->firstChild(); c; c = c->nextSibling()) names.push_back(c->name().toUtf8());
    return names;
}

struct TreeFixture : ::testing::Test {
    KelMessageGroup group;
    ScriptedParser parser{&group};
    KelSyntaxElement* root = nullptr;
    void SetUp() override {
        parser.initialize();
        root = parser.rootElement();
    }
    KelSyntaxElement* make(const char* name) {
        KelSyntaxElement* e = parser.elementPool().createElement();
        KelSyntaxElementAccess::parserSetName(e, KelStringBase::fromUtf8(name));
        return e;
    }
};
} // namespace

TEST(KelSyntaxElementHash, FollowsTheWordThenByteRule) {
    // "ab" is one 32-bit word 0x00620061; "abc" adds the bytes 'c', 0.
    EXPECT_EQ(KelSyntaxElement::nameHash(KelStringBase(u"")), 0u);
    EXPECT_EQ(KelSyntaxElement::nameHash(KelStringBase(u"ab")), 0x00620061u);
    std::uint32_t h = 0x00620061u;
    h = (h << 1) ^ 0x63u;
    h = (h << 1) ^ 0x00u;
    EXPECT_EQ(KelSyntaxElement::nameHash(KelStringBase(u"abc")), h);
    KelMessageGroup group;
    ScriptedParser parser(&group);
    KelSyntaxElement* e = parser.elementPool().createElement();
    KelSyntaxElementAccess::parserSetName(e, KelStringBase(u"abc"));
    EXPECT_EQ(e->storedNameHash(), h);
}

TEST_F(TreeFixture, PlainTypeSetterKeepsTheFlagBits) {
    KelSyntaxElement* e = make("e");
    KelSyntaxElementAccess::setTypeWord(e, 0x30000000u);
    KelSyntaxElementAccess::parserSetType(e, 0x01000000);
    EXPECT_EQ(e->typeWord(), 0x31000000u);
    EXPECT_EQ(e->type(), 0x01000000);
    KelSyntaxElementAccess::parserSetType(e, 0x7FFFFFFF);           // bits above the code are never touched
    EXPECT_EQ(e->typeWord(), 0x3FFFFFFFu);
}

TEST_F(TreeFixture, UnresolvedElementRaises2334FromTypeAndName) {
    KelSyntaxElement* e = make("e");
    KelSyntaxElementAccess::setUnresolved(e, true);
    try {
        e->type();
        FAIL() << "type() of an unresolved element must throw";
    } catch (const KelRecoverableException& ex) {
        EXPECT_EQ(ex.messageNumber(), 0x8000091Eu);
        EXPECT_EQ(ex.text(), "Attempt to access an unresolved element");
    }
    EXPECT_THROW(e->name(), KelRecoverableException);
    EXPECT_TRUE(e->resolveIdentity(0x01000000, KelStringBase(u"now")));
    EXPECT_EQ(e->type(), 0x01000000);
    EXPECT_EQ(e->name().toUtf8(), "now");
}

TEST_F(TreeFixture, NavigationParsesOnlyAsFarAsAsked) {
    parser.pending = {"a", "b", "c"};
    KelSyntaxElementAccess::clearComplete(root);
    KelSyntaxElement* a = root->firstChild();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->name().toUtf8(), "a");
    EXPECT_EQ(parser.steps, 1);
    EXPECT_EQ(parser.calls, (std::vector<std::string>{"first"}));
    root->firstChild();                      // complete-left: no further request
    EXPECT_EQ(parser.calls.size(), 1u);
    KelSyntaxElement* b = a->nextSibling();
    EXPECT_EQ(b->name().toUtf8(), "b");
    EXPECT_EQ(parser.steps, 2);
    KelSyntaxElement* c = b->nextSibling();
    EXPECT_EQ(c->nextSibling(), nullptr);    // scans to the end of the root's children
    EXPECT_TRUE(root->isCompleteRight());
    std::size_t calls = parser.calls.size();
    EXPECT_EQ(c->nextSibling(), nullptr);    // parent complete: nothing asked
    EXPECT_EQ(b->previousSibling(), a);
    EXPECT_EQ(parser.calls.size(), calls + 1);
    EXPECT_EQ(parser.calls.back(), "left");
}

TEST_F(TreeFixture, AttachAndDetachKeepLinksConsistent) {
    KelSyntaxElement* a = make("a");
    KelSyntaxElement* b = make("b");
    KelSyntaxElement* c = make("c");
    KelSyntaxElement* d = make("d");
    root->attachAsLastChild(b);
    root->attachAsFirstChild(a);
    b->attachAfter(d);
    d->attachBefore(c);
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(root->lastChild(), d);
    b->detach();
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a", "c", "d"}));
    EXPECT_EQ(b->parent(), nullptr);
    EXPECT_EQ(c->previousSibling(), a);
    // Attaching an element that is already in the tree moves it.
    root->attachAsFirstChild(d);
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"d", "a", "c"}));
    root->detachChildren();
    EXPECT_EQ(root->firstChild(), nullptr);
    EXPECT_EQ(root->lastChild(), nullptr);
}

TEST_F(TreeFixture, EveryEditKeepsTheLinksTheSameReadForwardsAndBackwards) {
    // The links keep no last child of their own (the first child's previous-sibling link names
    // it): every kind of edit, at the first, last, only and a middle place, is checked against a
    // plain list of each parent's children, read both ways.
    std::vector<KelSyntaxElement*> all;
    for (int i = 0; i < 8; ++i) all.push_back(make(("e" + std::to_string(i)).c_str()));
    KelSyntaxElement* other = make("other");
    root->attachAsLastChild(other);
    std::vector<KelSyntaxElement*> parents{root, other};
    std::vector<std::vector<KelSyntaxElement*>> model(2);
    model[0].push_back(other);
    const auto check = [&](int step) {
        for (std::size_t p = 0; p < parents.size(); ++p) {
            std::vector<KelSyntaxElement*> forwards, backwards;
            for (KelSyntaxElement* c = parents[p]->firstChild(); c && forwards.size() < 20; c = c->nextSibling()) {
                EXPECT_EQ(c->parent(), parents[p]) << "step " << step;
                forwards.push_back(c);
            }
            for (KelSyntaxElement* c = parents[p]->lastChild(); c && backwards.size() < 20; c = c->previousSibling())
                backwards.insert(backwards.begin(), c);
            EXPECT_EQ(forwards, model[p]) << "step " << step << " parent " << p;
            EXPECT_EQ(backwards, model[p]) << "step " << step << " parent " << p;
            EXPECT_EQ(parents[p]->knownLastChild(), model[p].empty() ? nullptr : model[p].back()) << "step " << step;
        }
        for (KelSyntaxElement* e : all) {
            if (!e->parent()) {
                EXPECT_EQ(e->knownPreviousSibling(), nullptr) << "step " << step;
            }
        }
    };
    const auto place = [&](KelSyntaxElement* e) -> std::pair<std::size_t, std::size_t> {
        for (std::size_t p = 0; p < model.size(); ++p)
            for (std::size_t i = 0; i < model[p].size(); ++i)
                if (model[p][i] == e) return {p, i};
        return {model.size(), 0};
    };
    const auto drop = [&](KelSyntaxElement* e) {
        const auto [p, i] = place(e);
        if (p < model.size()) model[p].erase(model[p].begin() + static_cast<std::ptrdiff_t>(i));
    };
    // A fixed sequence from a small generator: each step moves one element somewhere.
    unsigned seed = 12345;
    const auto next = [&seed](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    for (int step = 0; step < 400; ++step) {
        KelSyntaxElement* e = all[next(static_cast<unsigned>(all.size()))];
        const std::size_t p = next(2);
        const unsigned kind = next(5);
        if (kind == 0) {
            drop(e);
            parents[p]->attachAsFirstChild(e);
            model[p].insert(model[p].begin(), e);
        } else if (kind == 1) {
            drop(e);
            parents[p]->attachAsLastChild(e);
            model[p].push_back(e);
        } else if (kind == 4) {
            e->detach();
            drop(e);
        } else {
            if (model[p].empty()) continue;
            KelSyntaxElement* anchor = model[p][next(static_cast<unsigned>(model[p].size()))];
            if (anchor == e) continue;
            drop(e);
            const std::size_t at = place(anchor).second;
            if (kind == 2) {
                anchor->attachBefore(e);
                model[p].insert(model[p].begin() + static_cast<std::ptrdiff_t>(at), e);
            } else {
                anchor->attachAfter(e);
                model[p].insert(model[p].begin() + static_cast<std::ptrdiff_t>(at) + 1, e);
            }
        }
        check(step);
    }
}

TEST_F(TreeFixture, AttachingAnElementInsideItselfIsRefused) {
    KelSyntaxElement* a = make("a");
    KelSyntaxElement* b = make("b");
    root->attachAsLastChild(a);
    a->attachAsLastChild(b);
    EXPECT_THROW(b->attachAsLastChild(a), KelRecoverableException);
    EXPECT_THROW(a->attachAsFirstChild(a), KelRecoverableException);
    EXPECT_THROW(b->attachAfter(a), KelRecoverableException);
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"a"}));
    EXPECT_EQ(childNames(a), (std::vector<std::string>{"b"}));
    KelSyntaxElement* lone = make("lone");
    EXPECT_THROW(lone->attachAfter(make("x")), KelRecoverableException); // no parent to attach beside
}

TEST_F(TreeFixture, AttachAsLastChildScansTheRestFirst) {
    parser.pending = {"scanned1", "scanned2"};
    KelSyntaxElementAccess::clearComplete(root);
    root->attachAsLastChild(make("mine"));
    EXPECT_EQ(childNames(root), (std::vector<std::string>{"scanned1", "scanned2", "mine"}));
}

TEST_F(TreeFixture, CreateFamilyAndDeepCopy) {
    KelSyntaxElement* a = root->createLastChild(KelStringBase(u"a"));
    KelSyntaxElement* x = a->createFirstChild(KelStringBase(u"x"));
    x->setValue(KelStringBase(u"1"));
    x->createAfter(KelStringBase(u"y"))->setValue(42);
    x->createBefore(KelStringBase(u"w"));
    EXPECT_EQ(childNames(a), (std::vector<std::string>{"w", "x", "y"}));
    KelSyntaxElement* copy = root->createLastChild(KelStringBase(u"copy"));
    copy->copy(a, true, true, false);
    EXPECT_EQ(copy->name().toUtf8(), "copy");         // kept its own name
    EXPECT_EQ(childNames(copy), (std::vector<std::string>{"w", "x", "y"}));
    EXPECT_EQ(copy->firstChild()->nextSibling()->value().valueAsCharacter().toUtf8(), "1");
    KelSyntaxElement* same = root->createLastChild(KelStringBase(u"a"));
    same->copy(a, true, false, false);
    EXPECT_EQ(same->compare(a), 0);
    same->lastChild()->setValue(43);
    EXPECT_NE(same->compare(a), 0);
}

TEST_F(TreeFixture, DeepTreesDoNotExhaustTheStack) {
    KelSyntaxElement* e = root;
    for (int i = 0; i < 200000; ++i) e = e->createLastChild(KelStringBase(u"n"));
    KelSyntaxElement* copy = root->createLastChild(KelStringBase(u"x"));
    copy->copy(root->firstChild(), true, false, false);
    EXPECT_EQ(copy->compare(root->firstChild()), 0);
    e->setValue(1);
    EXPECT_NE(copy->compare(root->firstChild()), 0);
    std::string log = root->firstChild()->logTreeAsString();
    EXPECT_GT(log.size(), 200000u);
}

TEST(KelMessageGroup, CreatesRegisteredParsersAndRefusesOthers) {
    KelMessageGroup group;
    group.registerParserFactory(KelStringBase(u"scripted"), [](KelMessageGroup* g, bool) {
        return std::unique_ptr<KelParser>(new ScriptedParser(g));
    });
    KelParser* p = group.createParser(KelStringBase(u"scripted"));
    ASSERT_NE(p, nullptr);
    ASSERT_NE(p->rootElement(), nullptr);           // created parsers are initialised
    try {
        group.createParser(KelStringBase(u"nosuch"));
        FAIL();
    } catch (const KelRecoverableException& e) {
        EXPECT_EQ(e.catalogueNumber(), 2350u);
        ASSERT_EQ(e.inserts().size(), 1u);
        EXPECT_EQ(e.inserts()[0], "nosuch");
    }
}

TEST(KelParserBase, StoresTheBitStreamWithoutCopying) {
    KelMessageGroup group;
    ScriptedParser parser(&group);
    std::string text = "<a/>";
    KelBuffer buffer = KelBuffer::fromString(text);
    const unsigned char* bytes = buffer.data();
    EXPECT_EQ(parser.refreshElementsFromBitStream(nullptr, buffer, 273, 37), 4);
    buffer = KelBuffer();                            // the parser's share keeps the bytes alive
    EXPECT_EQ(parser.storedBitStream().data(), bytes);
    EXPECT_EQ(std::memcmp(parser.storedBitStream().data(), "<a/>", 4), 0);
    EXPECT_EQ(parser.storedEncoding(), 273);
    EXPECT_EQ(parser.storedCcsid(), 37);
}
