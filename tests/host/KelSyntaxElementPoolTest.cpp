// The element pool: chunks of a destroyed pool serve the next pool of the same thread only at
// their own size, pools on several threads keep to their own chunks, a pool that outlives its
// thread's chunk cache still frees its chunks, and a released pool builds again in the same chunks.
#include "host/KelMessageGroup.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelSyntaxElementAccess.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {
// An element with a payload of its own, filled on construction, so that slots that overlap or
// run past their chunk show up as changed payloads or names.
struct WideElement : KelSyntaxElement {
    explicit WideElement(KelParser* parser) : KelSyntaxElement(parser) { std::memset(payload, 0x5A, sizeof payload); }
    unsigned char payload[232];
};

class PoolParser : public KelParser {
public:
    PoolParser(KelMessageGroup* group, bool wide)
        : KelParser(group, wide ? static_cast<int>(sizeof(WideElement)) : static_cast<int>(sizeof(KelSyntaxElement))),
          iWide(wide) {}
    void initialize() override {}
    void parseFirstChild(KelSyntaxElement*) override {}
    void parseLastChild(KelSyntaxElement*) override {}
    void parseRightSibling(KelSyntaxElement*) override {}
    void parseLeftSibling(KelSyntaxElement*) override {}
    void callElementConstructor(void* storage) override {
        if (iWide) new (storage) WideElement(this);
        else new (storage) KelSyntaxElement(this);
    }

    // `count` elements named by their index; checks afterwards that every one kept its name.
    std::vector<KelSyntaxElement*> fillAndCheck(std::size_t count) {
        std::vector<KelSyntaxElement*> made;
        for (std::size_t i = 0; i < count; ++i) {
            KelSyntaxElement* e = elementPool().createElement();
            KelSyntaxElementAccess::parserSetName(e, KelStringBase::fromUtf8("element " + std::to_string(i)));
            made.push_back(e);
        }
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(made[i]->name().toUtf8(), "element " + std::to_string(i));
            if (iWide) {
                const auto* w = static_cast<WideElement*>(made[i]);
                for (unsigned char b : w->payload) EXPECT_EQ(b, 0x5A) << "element " << i;
            }
        }
        return made;
    }

private:
    bool iWide;
};

// pool.holds(e), checked against the answer of the form that looks the chunk up once for many
// elements (from `e` itself and from `sameChunk`, another element of its chunk): the three agree.
bool held(const KelSyntaxElementPool& pool, const KelSyntaxElement* e, const KelSyntaxElement* sameChunk = nullptr) {
    const bool answer = pool.holds(e);
    if (e != nullptr) {
        EXPECT_EQ(pool.holdsIn(pool.carvedChunkOf(e), e), answer);
        if (sameChunk != nullptr) {
            EXPECT_EQ(pool.holdsIn(pool.carvedChunkOf(sameChunk), e), answer);
        }
    }
    return answer;
}

// Enough elements of either width to fill the small first chunk and a large one, and start a third.
constexpr std::size_t kTwoChunksAndOne =
    KelSyntaxElementPool::kSlotsPerChunk + KelSyntaxElementPool::kLargeChunkBytes / sizeof(KelSyntaxElement) + 1;
} // namespace

TEST(KelSyntaxElementPool, ChunksOfADestroyedPoolServeOnlyPoolsOfTheirSlotSize) {
    KelMessageGroup group;
    { PoolParser small(&group, false); small.fillAndCheck(kTwoChunksAndOne); }
    // Wider slots must not be carved from the narrow chunks just given back.
    { PoolParser wide(&group, true); wide.fillAndCheck(kTwoChunksAndOne); }
    { PoolParser small(&group, false); small.fillAndCheck(kTwoChunksAndOne); }
    {
        // Two live pools of one size never share a chunk.
        PoolParser first(&group, false), second(&group, false);
        first.fillAndCheck(kTwoChunksAndOne);
        second.fillAndCheck(kTwoChunksAndOne);
        first.fillAndCheck(10);
    }
}

TEST(KelSyntaxElementPool, AReleasedPoolBuildsAgainInItsChunksAndLargeChunksStartOnHugePages) {
    KelMessageGroup group;
    PoolParser parser(&group, true);
    std::vector<KelSyntaxElement*> first = parser.fillAndCheck(kTwoChunksAndOne);
    const std::size_t large = KelSyntaxElementPool::kLargeChunkBytes / parser.elementPool().slotSize();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first[KelSyntaxElementPool::kSlotsPerChunk]) % (2u << 20), 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first[KelSyntaxElementPool::kSlotsPerChunk + large]) % (2u << 20), 0u);
    parser.elementPool().release();
    EXPECT_EQ(parser.elementPool().elementCount(), 0u);
    // The same slots again, in the same order, and more after them in new chunks.
    std::vector<KelSyntaxElement*> second = parser.fillAndCheck(kTwoChunksAndOne + large);
    EXPECT_EQ(parser.elementPool().elementCount(), kTwoChunksAndOne + large);
    for (std::size_t i = 0; i < first.size(); i += 997) EXPECT_EQ(first[i], second[i]) << i;
}

TEST(KelSyntaxElementPool, PoolsOnSeveralThreadsAndPoolsOutlivingTheirThreadsCache) {
    // Every large chunk of the threads is unmapped when they end (their caches go with them).
    const std::size_t mappedBefore = KelSyntaxElementPool::largeChunkBytesMapped();
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([t] {
            // Made before the thread's chunk cache, so destroyed after it at thread exit: its
            // chunks are freed directly (a sanitizer build reports a leak or a use after
            // destruction otherwise).
            thread_local KelMessageGroup lateGroup;
            thread_local PoolParser late(&lateGroup, false);
            KelMessageGroup group;
            for (int round = 0; round < 4; ++round) {
                PoolParser parser(&group, (t + round) % 2 == 0);
                parser.fillAndCheck(kTwoChunksAndOne);
            }
            late.fillAndCheck(kTwoChunksAndOne);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(KelSyntaxElementPool::largeChunkBytesMapped(), mappedBefore);
}

TEST(KelSyntaxElementPool, HoldsAnswersForItsOwnLiveElementsOnlyInEveryChunk) {
    KelMessageGroup group;
    PoolParser parser(&group, false), other(&group, false);
    KelSyntaxElementPool& pool = parser.elementPool();
    std::vector<KelSyntaxElement*> made = parser.fillAndCheck(kTwoChunksAndOne);
    std::vector<KelSyntaxElement*> theirs = other.fillAndCheck(kTwoChunksAndOne);
    // The first and last slot of each chunk, and one in the middle of the large one.
    const std::size_t large = KelSyntaxElementPool::kLargeChunkBytes / pool.slotSize();
    const std::size_t first = KelSyntaxElementPool::kSlotsPerChunk;
    const std::vector<std::size_t> probes{0, first - 1, first, first + large / 2, first + large - 1, first + large};
    for (std::size_t i : probes) {
        EXPECT_TRUE(held(pool, made[i])) << i;
        EXPECT_FALSE(held(pool, theirs[i], made[i])) << "another pool's element " << i;
        EXPECT_TRUE(held(other.elementPool(), theirs[i])) << i;
    }
    KelSyntaxElement stray(nullptr);
    EXPECT_FALSE(held(pool, &stray, made[0]));
    EXPECT_FALSE(held(pool, nullptr));
    // A destroyed element is not held until its slot is taken again, alone or with others.
    pool.destroyElement(made[first + 3]);
    EXPECT_FALSE(held(pool, made[first + 3], made[first]));
    EXPECT_EQ(pool.createElement(), made[first + 3]);
    EXPECT_TRUE(held(pool, made[first + 3], made[first]));
    const std::size_t live = pool.liveCount();
    const std::vector<KelSyntaxElement*> together{made[first + 7], made[0], made[first + 8]};
    pool.destroyElements(together.data(), together.size());
    EXPECT_EQ(pool.liveCount(), live - together.size());
    for (KelSyntaxElement* e : together) EXPECT_FALSE(held(pool, e, made[first])) << "destroyed together";
    for (auto it = together.rbegin(); it != together.rend(); ++it) EXPECT_EQ(pool.createElement(), *it);
    EXPECT_EQ(pool.liveCount(), live);
    // Released after one element of the large chunk: slots after it, in its chunk and in the
    // next, are not held although their chunks stay the pool's.
    ASSERT_TRUE(pool.releaseAllAfter(made[first + 5]));
    for (std::size_t i : {std::size_t{0}, first, first + 5}) EXPECT_TRUE(held(pool, made[i])) << i;
    for (std::size_t i : {first + 6, first + large - 1, first + large})
        EXPECT_FALSE(held(pool, made[i], made[first])) << i;
    pool.release();
    for (std::size_t i : probes) EXPECT_FALSE(held(pool, made[i])) << "after release " << i;
}

TEST(KelSyntaxElementPool, ElementsBuiltInPlaceTakeTheSlotsCreateElementWould) {
    // Two pools of one slot size go through the same steps, one making its elements through
    // createElement, the other in place (the tree builder's way): every element must land in the
    // same slot of the same chunk, named by a handle that finds it and its parser, with the type
    // word asked for, and the pools must count alike. The steps cross from the small first chunk
    // into a large one and reuse slots destroyed one at a time and together.
    KelMessageGroup group;
    PoolParser made(&group, false), built(&group, false);
    KelSyntaxElementPool& byCall = made.elementPool();
    KelSyntaxElementPool& inPlace = built.elementPool();
    const std::uint32_t word = 0x00000007u | KelSyntaxElement::kCompleteLeft;
    std::vector<KelSyntaxElement*> a, b;
    const auto make = [&](std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            KelSyntaxElement* e = byCall.createElement();
            KelSyntaxElementAccess::setTypeWord(e, word);
            a.push_back(e);
            b.push_back(inPlace.emplaceElement<KelSyntaxElement>(word, nullptr));
        }
    };
    const auto destroy = [&](const std::vector<std::size_t>& which, bool together) {
        std::vector<KelSyntaxElement*> da, db;
        for (std::size_t i : which) {
            da.push_back(a[i]);
            db.push_back(b[i]);
        }
        if (together) {
            byCall.destroyElements(da.data(), da.size());
            inPlace.destroyElements(db.data(), db.size());
        } else {
            for (std::size_t k = 0; k < da.size(); ++k) {
                byCall.destroyElement(da[k]);
                inPlace.destroyElement(db[k]);
            }
        }
    };
    const std::size_t first = KelSyntaxElementPool::kSlotsPerChunk;
    make(first - 2);
    make(5);   // across the end of the first chunk
    destroy({3, first - 1, first + 1}, false);
    destroy({0, first + 2, 7}, true);
    make(8);   // six slots from the free list, then new ones
    destroy({first + 4}, false);
    make(2);
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!byCall.holds(a[i])) {   // destroyed and not taken again (a free slot is not to be read)
            EXPECT_FALSE(inPlace.holds(b[i])) << i;
            continue;
        }
        ASSERT_TRUE(inPlace.holds(b[i])) << i;
        const std::uint32_t ha = a[i]->slotHandle(), hb = b[i]->slotHandle();
        EXPECT_EQ(ha & KelSlotTable::kSlotMask, hb & KelSlotTable::kSlotMask) << i;
        EXPECT_EQ(KelSlotTable::position(ha), KelSlotTable::position(hb)) << i;
        EXPECT_EQ(KelSlotTable::element(hb), b[i]) << i;
        EXPECT_EQ(b[i]->parser(), &built) << i;
        EXPECT_EQ(b[i]->typeWord(), word) << i;
    }
    EXPECT_EQ(inPlace.elementCount(), byCall.elementCount());
    EXPECT_EQ(inPlace.liveCount(), byCall.liveCount());
    EXPECT_EQ(inPlace.slotsCarved(), byCall.slotsCarved());
}
