// The large-message workloads do the work their benchmarks claim: the edit's output is what a
// full build writes, the check counts what a full walk builds, the split writes every record in
// the same few pool slots.
#include "bench/DocumentGenerator.hpp"
#include "bench/LargeMessageWorkloads.hpp"
#include "bench/QuarnWorkloads.hpp"
#include "host/KelSyntaxElement.hpp"
#include "host/KelWriteBuffer.hpp"
#include "common/XmlElementType.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

KelBuffer viewOf(const std::string& bytes) {
    return KelBuffer(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<long>(bytes.size()));
}

TEST(LargeMessageWorkloads, DoTheWorkTheirBenchmarksClaim) {
    const std::string doc = DocumentGenerator(7).utf8Document(256 * 1024);
    LargeMessageWorkloads work(viewOf(doc));
    KelWriteBuffer lazy(1208);
    ASSERT_GT(work.editFirstRecordAndWrite(lazy, 1208), 0);
    EXPECT_FALSE(work.parser().rootElement()->isCompleteRight()) << "the write built the whole tree";

    // The same edit after a full build.
    QuarnWorkloads full(viewOf(doc), 1208);
    const std::size_t elements = full.fullWalk().elements;
    KelSyntaxElement* document = full.root()->firstChild();
    while (document->type() != XmlTypeElement) document = document->nextSibling();
    KelSyntaxElement* record = document->firstChild();
    while (record->type() != XmlTypeElement) record = record->nextSibling();
    record->firstChild()->setValue(KelStringBase(u"edited"));
    KelWriteBuffer whole(1208);
    full.writeTree(whole, 1208);
    EXPECT_TRUE(lazy.toString() == whole.toString()) << "the frontier copy and the full build differ";

    // Into UTF-16 the rest is converted, still without building it.
    work.refresh();
    KelWriteBuffer wide(1200);
    ASSERT_GT(work.editFirstRecordAndWrite(wide, 1200), 0);
    EXPECT_FALSE(work.parser().rootElement()->isCompleteRight()) << "the write into UTF-16 built the whole tree";
    KelWriteBuffer wholeWide(1200);
    full.writeTree(wholeWide, 1200);
    EXPECT_TRUE(wide.toString() == wholeWide.toString()) << "the converted frontier copy and the full build differ";

    EXPECT_EQ(work.check(), static_cast<long>(elements));
    work.refresh();
    KelWriteBuffer out(1208);
    std::size_t slots = 0;
    const long records = work.split(out, &slots);
    EXPECT_GT(records, 100);
    EXPECT_LT(slots, 256u);
    EXPECT_EQ(out.toString().rfind("<order ", 0), 0u) << out.toString().substr(0, 80);
}

} // namespace
