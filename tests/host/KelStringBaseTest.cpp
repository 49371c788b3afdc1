// KelStringBase: inline/heap boundary, sharing, copy-on-write, growth, UTF-8 and threads.
#include "host/KelStringBase.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {
// A text of n code units that differ from each other ('a', 'b', ... wrapping), so that a copy
// from the wrong offset shows up.
std::u16string pattern(std::size_t n, char16_t first = u'a') {
    std::u16string text;
    for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char16_t>(first + i % 26));
    return text;
}
std::u16string str(const KelStringBase& s) { return std::u16string(s.view()); }
} // namespace

TEST(KelStringBaseTest, InlineHeapBoundaryAt18And19Units) {
    KelStringBase eighteen(pattern(18));
    EXPECT_TRUE(eighteen.isInline());
    EXPECT_EQ(eighteen.referenceCount(), 0u);
    EXPECT_EQ(eighteen.capacity(), 18u);
    EXPECT_EQ(eighteen.data()[18], u'\0');

    KelStringBase nineteen(pattern(19));
    EXPECT_FALSE(nineteen.isInline());
    EXPECT_EQ(nineteen.referenceCount(), 1u);
    EXPECT_EQ(nineteen.capacity(), 37u);
    EXPECT_EQ(str(nineteen), pattern(19));
    EXPECT_EQ(nineteen.data()[19], u'\0');

    // Appending across the boundary moves the text out, keeping every unit.
    KelStringBase grown(pattern(18));
    grown.append(u'!');
    EXPECT_FALSE(grown.isInline());
    EXPECT_EQ(str(grown), pattern(18) + u"!");

    // Construction forms agree.
    EXPECT_EQ(KelStringBase(u"abc"), KelStringBase(u"abcdef", 3));
    EXPECT_TRUE(KelStringBase(static_cast<const char16_t*>(nullptr)).empty());
}

TEST(KelStringBaseTest, CapacityGrowsFrom37ByHalves) {
    KelStringBase s;
    std::vector<std::size_t> capacities;
    for (int i = 0; i < 200; ++i) {
        s.append(static_cast<char16_t>(u'a' + i % 26));
        if (!s.isInline() && (capacities.empty() || capacities.back() != s.capacity())) {
            capacities.push_back(s.capacity());
        }
    }
    EXPECT_EQ(capacities, (std::vector<std::size_t>{37, 55, 82, 123, 184, 276}));
    EXPECT_EQ(str(s), pattern(200));

    // A single large append jumps straight to the first step that holds it.
    KelStringBase big(pattern(10));
    big.append(KelStringBase(pattern(90)));
    EXPECT_EQ(big.capacity(), 123u);
}

TEST(KelStringBaseTest, CopiesShareTheBlockUntilOneWrites) {
    KelStringBase a(pattern(40));
    KelStringBase b(a);
    KelStringBase c;
    c = b;
    EXPECT_EQ(a.data(), b.data());
    EXPECT_EQ(a.data(), c.data());
    EXPECT_EQ(a.referenceCount(), 3u);

    b.append(u'Z');   // b takes its own copy
    EXPECT_NE(a.data(), b.data());
    EXPECT_EQ(a.referenceCount(), 2u);
    EXPECT_EQ(b.referenceCount(), 1u);
    EXPECT_EQ(str(a), pattern(40));
    EXPECT_EQ(str(b), pattern(40) + u"Z");

    c.mutableData()[0] = u'X';   // so does c through the writable pointer
    EXPECT_EQ(a.referenceCount(), 1u);
    EXPECT_EQ(a[0], u'a');
    EXPECT_EQ(c[0], u'X');

    // Dropping shares brings the count down again.
    KelStringBase d(a);
    {
        KelStringBase e(a);
        EXPECT_EQ(a.referenceCount(), 3u);
    }
    d.clear();
    EXPECT_EQ(a.referenceCount(), 1u);

    // Moving hands the block over without counting.
    KelStringBase moved(std::move(a));
    EXPECT_EQ(moved.referenceCount(), 1u);
    EXPECT_TRUE(a.empty());        // NOLINT(bugprone-use-after-move): moved-from is empty
    EXPECT_TRUE(a.isInline());
}

TEST(KelStringBaseTest, SelfAndAliasedOperationsKeepTheText) {
    KelStringBase s(pattern(30));
    KelStringBase& alias = s;
    s = alias;
    EXPECT_EQ(str(s), pattern(30));

    // Appending a text to itself, inline and on the heap.
    KelStringBase shortText(u"abc");
    shortText.append(shortText);
    EXPECT_EQ(str(shortText), u"abcabc");
    KelStringBase longText(pattern(30));
    longText.append(longText);
    EXPECT_EQ(str(longText), pattern(30) + pattern(30));
    // Forcing a new block while the source lies in the old one.
    KelStringBase edge(pattern(37));
    edge.append(edge.data(), 20);
    EXPECT_EQ(str(edge), pattern(37) + pattern(20));

    // Assigning a part of itself.
    KelStringBase part(pattern(40));
    part.assign(part.data() + 5, 30);
    EXPECT_EQ(str(part), pattern(40).substr(5, 30));
    part.assign(part.data() + 2, 10);   // shrinks inline from its own block
    EXPECT_TRUE(part.isInline());
    EXPECT_EQ(str(part), pattern(40).substr(7, 10));
}

TEST(KelStringBaseTest, ShrinkingMovesBackInlineExceptClearAndReserve) {
    KelStringBase s(pattern(50));
    const std::u16string afterFirst = pattern(50).substr(0, 10) + pattern(50).substr(31);
    s.erase(10, 21);                        // 29 left: stays on the heap
    EXPECT_FALSE(s.isInline());
    EXPECT_EQ(str(s), afterFirst);
    s.erase(0, 11);                         // 18 left: back inline
    EXPECT_TRUE(s.isInline());
    EXPECT_EQ(str(s), afterFirst.substr(11));

    KelStringBase r(pattern(25));
    r.resize(18);
    EXPECT_TRUE(r.isInline());
    EXPECT_EQ(str(r), pattern(18));
    r.resize(21, u'#');
    EXPECT_FALSE(r.isInline());
    EXPECT_EQ(str(r), pattern(18) + u"###");

    // A shared text that shrinks leaves the other sharer untouched.
    KelStringBase original(pattern(30));
    KelStringBase copy(original);
    copy.erase(5);
    EXPECT_TRUE(copy.isInline());
    EXPECT_EQ(str(copy), pattern(5));
    EXPECT_EQ(str(original), pattern(30));
    EXPECT_EQ(original.referenceCount(), 1u);

    KelStringBase assigned(pattern(30));
    assigned.assign(u"xyz", 3);
    EXPECT_TRUE(assigned.isInline());

    // clearAndReserve keeps a private heap block even for nothing or a short text.
    KelStringBase buffer;
    buffer.clearAndReserve(1024);
    EXPECT_FALSE(buffer.isInline());
    EXPECT_GE(buffer.capacity(), 1024u);
    EXPECT_TRUE(buffer.empty());
    const char16_t* storage = buffer.data();
    buffer.append(u"abc", 3);
    EXPECT_EQ(buffer.data(), storage);
    buffer.clearAndReserve(1024);            // reuses the same block
    EXPECT_EQ(buffer.data(), storage);
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(buffer.data()[0], u'\0');

    // ...but a shared block is not emptied under its other owner.
    buffer.append(pattern(40).data(), 40);
    KelStringBase sharer(buffer);
    buffer.clearAndReserve(1024);
    EXPECT_EQ(str(sharer), pattern(40));
    EXPECT_TRUE(buffer.empty());

    KelStringBase cleared(pattern(30));
    cleared.clear();
    EXPECT_TRUE(cleared.isInline());
    EXPECT_TRUE(cleared.empty());
}

TEST(KelStringBaseTest, ReserveIsPrivateAndKeepsTheText) {
    KelStringBase a(pattern(20));
    KelStringBase b(a);
    b.reserve(500);
    EXPECT_GE(b.capacity(), 500u);
    EXPECT_EQ(a.referenceCount(), 1u);
    EXPECT_EQ(str(b), pattern(20));
    const char16_t* before = b.data();
    b.append(pattern(400).data(), 400);
    EXPECT_EQ(b.data(), before);             // reserved room used without reallocating

    KelStringBase small(u"ab");
    small.reserve(10);
    EXPECT_TRUE(small.isInline());
    small.reserve(19);
    EXPECT_FALSE(small.isInline());
    EXPECT_EQ(str(small), u"ab");
}

TEST(KelStringBaseTest, QueriesStayInsideTheText) {
    KelStringBase s(u"hello, world, hello");
    EXPECT_EQ(s.find(KelStringBase(u"hello"), 1), 14u);
    EXPECT_EQ(s.find(KelStringBase(u"hellos")), KelStringBase::npos);
    EXPECT_EQ(str(s.substr(14, 100)), u"hello");
    EXPECT_TRUE(s.substr(100).empty());      // out of range gives empty, never reads past the end
    KelStringBase erased(u"abcdef");
    erased.erase(10);                        // out of range: no change
    EXPECT_EQ(str(erased), u"abcdef");

    // Code units compare unsigned: U+E000 sorts after 'z'.
    EXPECT_LT(KelStringBase(u"z").compare(KelStringBase(u"\uE000")), 0);
    EXPECT_GT(KelStringBase(u"abcd").compare(KelStringBase(u"abc")), 0);
    EXPECT_FALSE(KelStringBase(u"xml").equals("xm"));
    EXPECT_FALSE(KelStringBase(u"xm").equals("xml"));
    EXPECT_TRUE(KelStringBase().equals(nullptr));

    std::unordered_set<KelStringBase, KelStringBaseHash> set;
    set.insert(KelStringBase(pattern(30)));
    set.insert(KelStringBase(u"abc"));
    EXPECT_EQ(set.count(KelStringBase(pattern(30))), 1u);
    EXPECT_EQ(set.count(KelStringBase(u"abd")), 0u);
}

TEST(KelStringBaseTest, Utf8BothWays) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z";   // a é € 😀 z
    KelStringBase s = KelStringBase::fromUtf8(text);
    EXPECT_EQ(str(s), u"a\u00E9\u20AC\U0001F600z");
    EXPECT_EQ(s.toUtf8(), text);

    // Each ill-formed piece becomes one U+FFFD and decoding resumes at the next byte.
    EXPECT_EQ(str(KelStringBase::fromUtf8("a\xFF" "b")), u"a\uFFFDb");
    EXPECT_EQ(str(KelStringBase::fromUtf8("\xC0\xAF")), u"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(str(KelStringBase::fromUtf8("\xE0\x80\xAF")), u"\uFFFD\uFFFD\uFFFD");  // overlong
    EXPECT_EQ(str(KelStringBase::fromUtf8("\xF0\x8F\xBF\xBF")), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(str(KelStringBase::fromUtf8("\xED\xA0\x80")), u"\uFFFD\uFFFD\uFFFD");  // surrogate
    EXPECT_EQ(str(KelStringBase::fromUtf8("\xE2\x82" "x")), u"\uFFFDx");              // cut short
    EXPECT_EQ(str(KelStringBase::fromUtf8("\xF4\x90\x80\x80")), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(str(KelStringBase::fromUtf8("\xF0\x9F\x98")), u"\uFFFD");               // truncated at end

    // Unpaired surrogates become U+FFFD on the way out.
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
    EXPECT_EQ(KelStringBase(lone, 4).toUtf8(), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");

    // Long texts cross the inline boundary correctly in both directions.
    std::string longUtf8;
    for (int i = 0; i < 30; ++i) longUtf8 += "\xC3\xA9";
    KelStringBase longText = KelStringBase::fromUtf8(longUtf8);
    EXPECT_EQ(longText.length(), 30u);
    EXPECT_EQ(longText.toUtf8(), longUtf8);
    EXPECT_TRUE(KelStringBase::fromUtf8(std::string(40, '\xE9')).length() == 40u);

    EXPECT_EQ(str(KelStringBase::fromAscii("plain")), u"plain");
    EXPECT_TRUE(KelStringBase::fromAscii(nullptr).empty());
}

TEST(KelStringBaseTest, ConcurrentCopiesAndDestructionKeepCountsRight) {
    KelStringBase shared(pattern(100));
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&shared, &mismatches] {
            std::vector<KelStringBase> copies;
            for (int i = 0; i < kRounds; ++i) {
                copies.push_back(shared);
                if (copies.size() > 16) {
                    KelStringBase mine = copies.front();
                    mine.append(u'x');                           // private copy, never seen by others
                    if (mine.length() != 101 || mine[99] != pattern(100)[99]) ++mismatches;
                    copies.erase(copies.begin(), copies.begin() + 8);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(shared.referenceCount(), 1u);
    EXPECT_EQ(str(shared), pattern(100));
}
