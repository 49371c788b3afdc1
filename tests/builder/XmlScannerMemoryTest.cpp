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
