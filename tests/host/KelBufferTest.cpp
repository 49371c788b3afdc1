// KelBuffer ownership and KelWriteBuffer appends, growth and conversions.
#include "host/KelBuffer.hpp"
#include "host/KelException.hpp"
#include "host/KelWriteBuffer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {
std::vector<unsigned char> bytesOf(const KelWriteBuffer& buffer) {
    return std::vector<unsigned char>(buffer.data(), buffer.data() + buffer.used());
}

// Records the sizes asked of enlarge, as the host's own buffers may.
class RecordingWriteBuffer : public KelWriteBuffer {
public:
    using KelWriteBuffer::KelWriteBuffer;
    void enlarge(long totalSize) override {
        iAsked.push_back(totalSize);
        KelWriteBuffer::enlarge(totalSize);
    }
    std::vector<long> iAsked;
};

// An enlarge that does not deliver: the buffer must refuse rather than write past its end.
class FixedWriteBuffer : public KelWriteBuffer {
public:
    using KelWriteBuffer::KelWriteBuffer;
    void enlarge(long) override {}
};
} // namespace

TEST(KelBufferTest, OwningBuffersKeepTheirBytesAlive) {
    KelBuffer copy;
    {
        std::vector<unsigned char> bytes = {'<', 'a', '/', '>'};
        const unsigned char* where = bytes.data();
        KelBuffer adopted = KelBuffer::adopt(std::move(bytes));
        EXPECT_EQ(adopted.data(), where);      // adopted, not copied
        EXPECT_TRUE(adopted.ownsBytes());
        copy = adopted;
    }
    EXPECT_EQ(copy.length(), 4);
    EXPECT_EQ(copy.toString(), "<a/>");

    KelBuffer fromText;
    {
        fromText = KelBuffer::fromString(std::string(1000, 'x') + "end");
    }
    EXPECT_EQ(fromText.length(), 1003);
    EXPECT_EQ(fromText.toString().substr(1000), "end");

    auto owner = std::make_shared<std::string>("shared bytes");
    KelBuffer shared = KelBuffer::share(owner, reinterpret_cast<const unsigned char*>(owner->data()) + 7, 5);
    std::weak_ptr<std::string> watch = owner;
    owner.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(shared.toString(), "bytes");
    shared = KelBuffer();
    EXPECT_TRUE(watch.expired());

    const unsigned char view[] = {'v'};
    EXPECT_FALSE(KelBuffer(view, 1).ownsBytes());
    EXPECT_EQ(KelBuffer().toString(), "");
}

TEST(KelBufferTest, AppendCountsBytesAndKeepsAZeroAfterThem) {
    RecordingWriteBuffer buffer(1208, 8);
    buffer.append("abc", 3);
    EXPECT_EQ(buffer.used(), 3);
    EXPECT_EQ(buffer.data()[3], 0);
    EXPECT_TRUE(buffer.iAsked.empty());

    buffer.append("defg", 4);                // 7 used + zero = 8: still fits exactly
    EXPECT_TRUE(buffer.iAsked.empty());
    buffer.append("h", 1);                   // 8 + zero needs 9
    ASSERT_EQ(buffer.iAsked.size(), 1u);
    EXPECT_EQ(buffer.iAsked[0], 9);
    EXPECT_GE(buffer.capacity(), 9);
    EXPECT_EQ(buffer.toString(), "abcdefgh");
    EXPECT_EQ(buffer.data()[8], 0);

    // Growth is geometric: many small appends need few enlargements.
    for (int i = 0; i < 10000; ++i) buffer.append("x", 1);
    EXPECT_EQ(buffer.used(), 10008);
    EXPECT_LT(buffer.iAsked.size(), 30u);
    EXPECT_EQ(buffer.data()[buffer.used()], 0);

    // Appending part of the buffer to itself survives the reallocation it causes.
    KelWriteBuffer self(1208, 4);
    self.append("xyz", 3);
    self.append(self.data(), 3);
    EXPECT_EQ(self.toString(), "xyzxyz");

    buffer.clear();
    EXPECT_EQ(buffer.used(), 0);
    EXPECT_EQ(buffer.data()[0], 0);
    buffer.append("", 0);
    EXPECT_EQ(buffer.used(), 0);

    KelWriteBuffer empty;
    EXPECT_EQ(empty.toString(), "");
    empty.append("q", 1);
    EXPECT_EQ(empty.toString(), "q");

    EXPECT_THROW(empty.append("q", -1), KelRecoverableException);
    FixedWriteBuffer fixed(1208, 4);
    fixed.append("abc", 3);
    EXPECT_THROW(fixed.append("d", 1), KelRecoverableException);
    EXPECT_EQ(fixed.toString(), "abc");
}

TEST(KelBufferTest, EnlargeKeepsContentsAndNeverShrinks) {
    KelWriteBuffer buffer(1208, 4);
    buffer.append("ab", 2);
    buffer.enlarge(1000);
    EXPECT_GE(buffer.capacity(), 1000);
    EXPECT_EQ(buffer.toString(), "ab");
    const long capacity = buffer.capacity();
    buffer.enlarge(10);
    EXPECT_EQ(buffer.capacity(), capacity);
}

TEST(KelBufferTest, AppendMbsConvertsIntoThePage) {
    const KelStringBase text(u"\u00E9<a/>");

    KelWriteBuffer utf8(1208);
    utf8.appendMbs(text);
    EXPECT_EQ(utf8.toString(), "\xC3\xA9<a/>");
    EXPECT_EQ(utf8.data()[utf8.used()], 0);

    KelWriteBuffer ebcdic(37);
    ebcdic.appendMbs(KelStringBase(u"\u00E9A"));
    EXPECT_EQ(bytesOf(ebcdic), (std::vector<unsigned char>{0x51, 0xC1}));

    // The page and byte order given override the buffer's own.
    KelWriteBuffer buffer(1208);
    buffer.append("\xFE\xFF", 2);
    buffer.appendMbs(KelStringBase(u"A\u00E9"), 1200, 1);
    buffer.appendMbs(KelStringBase(u"A\u00E9"), 1200, -1);
    buffer.appendMbs(KelStringBase(u"\u00E9"), 1252, 0);
    EXPECT_EQ(bytesOf(buffer),
              (std::vector<unsigned char>{0xFE, 0xFF, 0x00, 0x41, 0x00, 0xE9, 0x41, 0x00, 0xE9, 0x00, 0xE9}));
    EXPECT_EQ(buffer.data()[buffer.used()], 0);

    // Large texts grow the buffer as they go.
    KelWriteBuffer big(1208, 16);
    const std::u16string many(5000, u'\u20AC');
    big.appendMbs(KelStringBase(many));
    EXPECT_EQ(big.used(), 15000);
    EXPECT_EQ(big.data()[15000], 0);

    // A failed conversion appends nothing and leaves the zero byte in place.
    KelWriteBuffer latin(819);
    latin.append("ok", 2);
    EXPECT_THROW(latin.appendMbs(KelStringBase(u"ab\u20AC")), KelRecoverableException);
    EXPECT_EQ(latin.toString(), "ok");
    EXPECT_EQ(latin.data()[2], 0);
    EXPECT_THROW(latin.appendMbs(KelStringBase(u"x"), 99999, 0), KelRecoverableException);
    EXPECT_EQ(latin.used(), 2);
}
