// The scanner's memory: every block handed out is counted until it comes back, blocks are aligned
// for any object, and what the scanner library never gave back is freed with the manager (the
// sanitizer build's leak checker fails this test otherwise). A document whose bad content model
// makes the library lose memory leaves nothing behind once its parser is gone.
#include "builder/XmlScannerMemory.hpp"

#include "host/KelException.hpp"
#include "host/KelMessageGroup.hpp"
#include "host/KelSyntaxElement.hpp"
#include "parser/XmlKelParser.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

TEST(XmlScannerMemory, CountsBlocksAndFreesWhatWasNeverGivenBack) {
    auto* memory = new XmlScannerMemory;
    void* a = memory->allocate(24);
    void* b = memory->allocate(1000);
    void* c = memory->allocate(0);
    EXPECT_EQ(memory->liveBlocks(), 3u);
    for (void* p : {a, b, c}) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u);
    std::memset(b, 0x5A, 1000);
    memory->deallocate(b);
    memory->deallocate(nullptr);
    EXPECT_EQ(memory->liveBlocks(), 2u);
    std::memset(a, 0x11, 24);
    delete memory;                      // a and c go with it
}

TEST(XmlScannerMemory, DocumentsThatMakeTheScannerLibraryLoseMemoryLeaveNothing) {
    // A bad content model and a bad byte after a system id: the library loses what it was
    // building for each; its parser's scanner memory takes it back.
    for (const char* text : {"<!DOCTYPE a [<!ELEMENT a ((#PCDATA))>]><a/>", "<!DOCTYPE a SYSTEM 'x'\x01><a/>"}) {
        for (int round = 0; round < 3; ++round) {
            KelMessageGroup group;
            XmlKelParser parser(&group, true);
            parser.initialize();
            parser.refreshElementsFromBitStream(nullptr, KelBuffer::fromString(text), 546, 1208);
            EXPECT_THROW(parser.rootElement()->lastChild(), KelParserException) << text;
        }
    }
}

TEST(XmlScannerMemory, BlocksGivenBackAreWholeAndAlignedWhenTakenAgain) {
    // Sizes at the edges of the kept blocks' classes: a block taken again must hold the size now
    // asked for (the sanitizer build catches a write past it), whatever size gave it back.
    const std::size_t sizes[] = {0, 1, 15, 16, 17, 100, 511, 512, 513, 700, 3841, 4095, 4096, 4097, 9000};
    XmlScannerMemory memory;
    for (int round = 0; round < 3; ++round) {
        std::vector<void*> blocks;
        for (std::size_t i = 0; i < std::size(sizes); ++i) {
            // Each round asks in another order, so blocks come back to other sizes of their class.
            const std::size_t size = sizes[(i * (round + 1) + round) % std::size(sizes)];
            void* p = memory.allocate(size);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(std::max_align_t), 0u) << size;
            std::memset(p, 0xA0 + round, size);
            blocks.push_back(p);
        }
        EXPECT_EQ(memory.liveBlocks(), std::size(sizes));
        for (void* p : blocks) memory.deallocate(p);
        EXPECT_EQ(memory.liveBlocks(), 0u);
    }
}
