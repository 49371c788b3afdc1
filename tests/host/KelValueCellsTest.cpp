// The cells that hold element values: which read texts share a cell, when a holder takes a cell
// of its own, and that cells go with their last holder however many chunks they fill.
#include "host/KelValueCells.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::u16string text(const KelValueCells::Cell* cell) { return std::u16string(cell->value().characterValue().view()); }
template <class T> KelValue valueOf(const T& v) {
    KelValue value;
    value.setValue(v);
    return value;
}
} // namespace

TEST(KelValueCells, TextBeginningWithWhiteSpaceIsSharedOtherTextIsNot) {
    const struct {
        std::u16string text;
        bool shared;
    } cases[] = {
        {u"\n    ", true}, {u" ", true}, {u"\t\tx", true}, {u"\r\n", true},
        {u"open", false}, {u"", false}, {u"x  ", false}, {u"\u00A0", false},
    };
    for (const auto& c : cases) {
        KelValueCells cells;
        KelValueCells::Cell* first = cells.takeRead(c.text.data(), c.text.size());
        KelValueCells::Cell* second = cells.takeRead(c.text.data(), c.text.size());
        EXPECT_EQ(first == second, c.shared);
        EXPECT_EQ(text(first), c.text);
        EXPECT_EQ(text(second), c.text);
        EXPECT_EQ(cells.liveCells(), c.shared ? 1u : 2u);
        // The second holder writes: it gets a cell of its own, the first keeps the text.
        KelValueCells::Cell* own = cells.ownFor(second);
        own->value().setValue(KelStringBase(u"changed"));
        EXPECT_EQ(text(first), c.text);
        EXPECT_EQ(cells.liveCells(), 2u);
        cells.give(own);
        cells.give(first);
        // A shared cell the writer left stays until the pool's elements are all gone.
        EXPECT_EQ(cells.liveCells(), c.shared ? 1u : 0u);
        cells.releaseLeft();
        EXPECT_EQ(cells.liveCells(), 0u);
    }
}

// A cell holds its holders' name beside the value: a look-up finds a cell only under the same
// name, even where two names' texts fall on one place of the share table (one hash for both here).
TEST(KelValueCells, ATextIsSharedUnderOneNameOnly) {
    const KelStringBase k(u"k"), j(u"j");
    const std::u16string open = u"open";
    for (const std::uint32_t hashOfJ : {0u, 7u}) {   // the same place as k's, or another
        KelValueCells cells;
        KelValueCells::Cell* k1 = cells.lookUp(open.data(), open.size(), &k, 0);
        KelValueCells::Cell* j1 = cells.lookUp(open.data(), open.size(), &j, hashOfJ);
        KelValueCells::Cell* j2 = cells.lookUp(open.data(), open.size(), &j, hashOfJ);
        KelValueCells::Cell* k2 = cells.lookUp(open.data(), open.size(), &k, 0);
        EXPECT_NE(k1, j1) << hashOfJ;
        EXPECT_EQ(j1, j2) << hashOfJ;
        EXPECT_EQ(k1->name, &k);
        EXPECT_EQ(j1->name, &j);
        EXPECT_EQ(k2->name, &k);
        EXPECT_EQ(text(k2), open);
        // Under one hash, j's cell took k's place: k's next look-up made a cell of its own.
        EXPECT_EQ(k1 == k2, hashOfJ != 0) << hashOfJ;
        for (KelValueCells::Cell* held : {k1, j1, j2, k2}) cells.give(held);
        EXPECT_EQ(cells.liveCells(), 0u) << hashOfJ;
    }
}

TEST(KelValueCells, ASoleHolderWritesItsCellInPlaceAndTheTextIsNoLongerFoundThere) {
    KelValueCells cells;
    const std::u16string indent = u"\n  ";
    KelValueCells::Cell* cell = cells.takeRead(indent.data(), indent.size());
    KelValueCells::Cell* own = cells.ownFor(cell);
    ASSERT_EQ(own, cell) << "what value() returned before must see the change, as it did";
    own->value().setValue(KelStringBase(u"x"));
    KelValueCells::Cell* next = cells.takeRead(indent.data(), indent.size());
    EXPECT_NE(next, own);
    EXPECT_EQ(text(next), indent);
    EXPECT_EQ(text(own), u"x");
    // A shared cell pushed out of the table by another text is still held and still reads right.
    std::vector<KelValueCells::Cell*> held{next, own};
    for (int spaces = 1; spaces < 3000; ++spaces) {
        const std::u16string other = u"\n" + std::u16string(static_cast<std::size_t>(spaces % 17), u' ') +
                                     static_cast<char16_t>(u'a' + spaces % 26);
        held.push_back(cells.takeRead(other.data(), other.size()));
    }
    EXPECT_EQ(text(next), indent);
    for (KelValueCells::Cell* c : held) cells.give(c);
    EXPECT_EQ(cells.liveCells(), 0u);
}

// Text beyond what a string holds inline is shared with its heap block; a holder that writes gets
// a cell of its own whose block is copied only when written, so the others keep their text.
TEST(KelValueCells, ALongTextLookedUpSharesItsBlockUntilAHolderWritesIt) {
    KelValueCells cells;
    const std::u16string description = u"Leave at the reception if absent and call ahead";
    ASSERT_GT(description.size(), KelValueCells::kShareLimit);
    KelValueCells::Cell* first = cells.lookUp(description.data(), description.size());
    KelValueCells::Cell* second = cells.lookUp(description.data(), description.size());
    ASSERT_EQ(first, second);
    EXPECT_EQ(KelValueCells::holdersOf(first), 2u);
    KelValueCells::Cell* own = cells.ownFor(second);
    ASSERT_NE(own, first);
    EXPECT_EQ(own->value().characterValue().data(), first->value().characterValue().data()) << "one block, two cells";
    own->value().appendCharacters(u"!", 1);
    EXPECT_EQ(text(own), description + u"!");
    EXPECT_EQ(text(first), description);
    // The next reader of the text still finds the first cell.
    KelValueCells::Cell* third = cells.lookUp(description.data(), description.size());
    EXPECT_EQ(third, first);
    cells.give(own);
    cells.give(third);
    cells.give(first);
    cells.releaseLeft();
    EXPECT_EQ(cells.liveCells(), 0u);
}

TEST(KelValueCells, CellsFillManyChunksAndGoBackToTheFreeList) {
    // Enough cells for well over 64 chunks: chunk sizes stop growing at a fixed size.
    constexpr int kCells = 1200000;
    KelValueCells cells;
    std::vector<KelValueCells::Cell*> taken;
    taken.reserve(kCells);
    for (int i = 0; i < kCells; ++i) {
        taken.push_back(cells.takeOwn());
        taken.back()->value().setValue(i);
    }
    int wrong = 0;
    for (int i = 0; i < kCells; ++i) wrong += taken[static_cast<std::size_t>(i)]->value().intValue() != i;
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(cells.liveCells(), static_cast<std::size_t>(kCells));
    for (std::size_t i = 0; i < taken.size(); i += 2) cells.give(taken[i]);
    // Freed cells are taken again before new ones are carved.
    for (std::size_t i = 0; i < taken.size(); i += 2) taken[i] = cells.takeOwn();
    EXPECT_EQ(cells.liveCells(), static_cast<std::size_t>(kCells));
    for (KelValueCells::Cell* c : taken) cells.give(c);
    EXPECT_EQ(cells.liveCells(), 0u);
}

// An element that leaves a shared cell (written, or reset) may still read it through what value()
// gave it: the cell stays, whoever else lets it go, until every element of the pool is gone.
TEST(KelValueCells, ACellAnElementLeftStaysUntilThePoolIsReleased) {
    for (bool written : {true, false}) {
        KelValueCells cells;
        const std::u16string indent = u"\n    ";
        KelValueCells::Cell* a = cells.takeRead(indent.data(), indent.size());
        KelValueCells::Cell* b = cells.takeRead(indent.data(), indent.size());
        ASSERT_EQ(a, b);
        const KelValue& held = a->value();   // what a's value() gave before the change
        KelValueCells::Cell* own = nullptr;
        if (written) own = cells.ownFor(a);
        else cells.leave(a);
        cells.give(b);   // the other holder goes
        EXPECT_EQ(held.characterValue().view(), indent) << written;
        EXPECT_EQ(cells.liveCells(), written ? 2u : 1u);
        // A reader of the same text may take the left cell again, and its going keeps it too.
        KelValueCells::Cell* again = cells.takeRead(indent.data(), indent.size());
        EXPECT_EQ(text(again), indent);
        cells.give(again);
        EXPECT_EQ(held.characterValue().view(), indent) << written;
        if (own != nullptr) cells.give(own);
        cells.releaseLeft();
        EXPECT_EQ(cells.liveCells(), 0u) << written;
    }
}

// A cell's place in the share table and its holder count stand in the last bytes of its value:
// writing a value of any kind into a cell, or copying one out of a shared cell, must leave both
// as they were, so the shared text is still found and every cell still goes with its last holder.
TEST(KelValueCells, AValueOfEveryKindWrittenInACellLeavesItsCountAndPlace) {
    const std::u16string longText(40, u'w');
    const unsigned char bytes[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    KelValue bytesValue;
    bytesValue.setBytes(bytes, sizeof bytes);
    const KelDate date{9999, 12, 31};
    const KelTime time{23, 59, 59, 999999};
    const std::pair<const char*, KelValue> kinds[] = {
        {"null", KelValue()},
        {"short text", KelValue(KelStringBase(u"open"))},
        {"long text", KelValue(KelStringBase(longText.data(), longText.size()))},
        {"double", valueOf(-2.5)},
        {"int64", valueOf(std::int64_t{-1})},
        {"int", valueOf(-1)},
        {"bool", valueOf(true)},
        {"bytes", bytesValue},
        {"date", valueOf(date)},
        {"time", valueOf(time)},
        {"timestamp", valueOf(KelTimeStamp{date, time})},
        {"gmt time", valueOf(KelGmtTime{time})},
        {"gmt timestamp", valueOf(KelGmtTimeStamp{KelTimeStamp{date, time}})},
    };
    const KelStringBase name(u"status");
    const std::u16string shared = u"held";
    for (const auto& [what, value] : kinds) {
        KelValueCells cells;
        KelValueCells::Cell* a = cells.lookUp(shared.data(), shared.size(), &name, 5);
        KelValueCells::Cell* b = cells.lookUp(shared.data(), shared.size(), &name, 5);
        ASSERT_EQ(a, b) << what;
        // b's holder writes: a copy of its own, which takes every kind in turn, and back again.
        KelValueCells::Cell* own = cells.ownFor(b);
        ASSERT_NE(own, a) << what;
        own->value().setValue(value);
        own->value() = value;
        EXPECT_TRUE(own->value() == value) << what;
        own->value().copyValue(a->value());
        own->value().setValue(value);
        EXPECT_EQ(KelValueCells::holdersOf(own), 0u) << what;
        EXPECT_FALSE(KelValueCells::isNameHead(own)) << what;
        EXPECT_EQ(own->name, &name) << what;
        // The shared cell kept its holder and its place: the text is found there again.
        EXPECT_EQ(KelValueCells::holdersOf(a), 1u) << what;
        KelValueCells::Cell* c = cells.lookUp(shared.data(), shared.size(), &name, 5);
        EXPECT_EQ(c, a) << what;
        EXPECT_EQ(text(c), shared) << what;
        // An own cell written in place, as a sole holder's is.
        KelValueCells::Cell* sole = cells.ownFor(cells.lookUp(u"x", 1, &name, 9));
        sole->value().setValue(value);
        EXPECT_EQ(KelValueCells::holdersOf(sole), 0u) << what;
        for (KelValueCells::Cell* held : {own, c, a, sole}) cells.give(held);
        cells.releaseLeft();
        EXPECT_EQ(cells.liveCells(), 0u) << what;
    }
}
