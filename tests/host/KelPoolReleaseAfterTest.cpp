// Releasing a pool down to one kept element (a parser's root that another tree links to): only
// the later elements are destroyed, the kept one stays where it is, and new elements follow it.
#include "host/KelSyntaxElementAccess.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelParser.hpp"
#include "host/KelSyntaxElement.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {
int gAlive = 0;

struct CountedElement : KelSyntaxElement {
    explicit CountedElement(KelParser* parser) : KelSyntaxElement(parser) { ++gAlive; }
    ~CountedElement() override { --gAlive; }
};

class CountingParser : public KelParser {
public:
    explicit CountingParser(KelMessageGroup* group) : KelParser(group, static_cast<int>(sizeof(CountedElement))) {}
    void callElementConstructor(void* storage) override { new (storage) CountedElement(this); }
};
} // namespace

TEST(KelSyntaxElementPool, ReleasingAllAfterAnElementKeepsItAndBuildsOnAfterIt) {
    KelMessageGroup group;
    CountingParser parser(&group);
    KelSyntaxElementPool& pool = parser.elementPool();
    // Past the first chunk, so that kept elements in either chunk are tried.
    const std::size_t made = KelSyntaxElementPool::kSlotsPerChunk + 300;
    for (std::size_t keptIndex : {std::size_t{0}, std::size_t{7}, KelSyntaxElementPool::kSlotsPerChunk - 1,
                                  KelSyntaxElementPool::kSlotsPerChunk + 10}) {
        pool.release();
        ASSERT_EQ(gAlive, 0);
        std::vector<KelSyntaxElement*> elements;
        for (std::size_t i = 0; i < made; ++i) elements.push_back(pool.createElement());
        KelSyntaxElement* kept = elements[keptIndex];
        KelSyntaxElementAccess::parserSetName(kept, KelStringBase(u"kept"));
        ASSERT_TRUE(pool.releaseAllAfter(kept));
        EXPECT_EQ(gAlive, static_cast<int>(keptIndex + 1)) << keptIndex;
        EXPECT_EQ(pool.elementCount(), keptIndex + 1);
        EXPECT_EQ(kept->name().toUtf8(), "kept");
        // The next elements reuse the released slots, starting right after the kept one.
        std::vector<KelSyntaxElement*> again;
        for (std::size_t i = keptIndex + 1; i < made; ++i) again.push_back(pool.createElement());
        EXPECT_EQ(std::vector<KelSyntaxElement*>(elements.begin() + static_cast<long>(keptIndex) + 1, elements.end()),
                  again);
        EXPECT_EQ(gAlive, static_cast<int>(made));
    }
    // An element that is not the pool's: everything goes.
    CountedElement stranger(nullptr);
    EXPECT_FALSE(pool.releaseAllAfter(&stranger));
    EXPECT_EQ(gAlive, 1);
    EXPECT_EQ(pool.elementCount(), 0u);
}
