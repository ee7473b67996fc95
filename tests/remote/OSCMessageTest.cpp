#include "remote/OSCMessage.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace zarvo {
namespace {

using Bytes = std::vector<uint8_t>;
using Messages = std::vector<OSCMessage>;

// Builds wire bytes by hand, independently of the encoder under test.
struct Wire {
    Bytes bytes;
    Wire& raw(std::initializer_list<int> values) {
        for (int v : values) {
            bytes.push_back(static_cast<uint8_t>(v));
        }
        return *this;
    }
    Wire& text(const std::string& s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Wire& str(const std::string& s) {  // NUL-ended, padded to a multiple of 4
        text(s);
        bytes.insert(bytes.end(), 4 - s.size() % 4, 0);
        return *this;
    }
    Wire& u32(uint32_t v) {
        return raw({int(v >> 24), int(v >> 16 & 255), int(v >> 8 & 255), int(v & 255)});
    }
    Wire& u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }
    Wire& f32(float v) { return u32(std::bit_cast<uint32_t>(v)); }
    Wire& f64(double v) { return u64(std::bit_cast<uint64_t>(v)); }
    operator Bytes() const { return bytes; }
};

Bytes Bundle(const std::vector<Bytes>& elements, const std::string& header = {"#bundle\0", 8}) {
    Wire wire;
    wire.text(header).u64(0x0000000100000002ULL);
    for (const Bytes& e : elements) {
        wire.u32(uint32_t(e.size())).bytes.insert(wire.bytes.end(), e.begin(), e.end());
    }
    return wire;
}

Bytes Message(const std::string& address, int32_t value) {
    return Wire().str(address).str(",i").u32(uint32_t(value));
}

Messages Decode(const Bytes& bytes) {
    return OSCMessage::messagesFromPacket(bytes);
}

TEST(OSCMessageReadString, ReadsPaddedUTF8AndRejectsWhatIsCutShortOrInvalid) {
    const std::string utf8 = "caf\xC3\xA9\xF0\x9F\x8E\xA5";
    const Bytes good = Wire().str("abcd").text("ab").raw({0, 'x'}).str(utf8);
    size_t offset = 0;
    EXPECT_EQ(OSCMessage::readString(good.data(), good.size(), offset), "abcd");
    EXPECT_EQ(offset, 8u);
    EXPECT_EQ(OSCMessage::readString(good.data(), good.size(), offset), "ab");  // padding unchecked
    EXPECT_EQ(offset, 12u);
    EXPECT_EQ(OSCMessage::readString(good.data(), good.size(), offset), utf8);
    EXPECT_EQ(OSCMessage::readString(good.data(), good.size(), offset), std::nullopt);
    EXPECT_EQ(offset, good.size());

    const std::vector<Bytes> bad = {
        Wire().text("abcd"),                               // no NUL
        Wire().text("abcd").raw({0, 0, 0}),                // padding cut short
        Wire().raw({0xC0, 0xAF, 0, 0}),                    // overlong
        Wire().raw({0xED, 0xA0, 0x80, 0}),                 // surrogate
        Wire().raw({0xF4, 0x90, 0x80, 0x80, 0, 0, 0, 0}),  // above U+10FFFF
        Wire().raw({'a', 0x80, 0, 0}),                     // lone continuation byte
        Wire().raw({0xE2, 0x82, 0, 0}),                    // sequence cut by the NUL
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        offset = 0;
        EXPECT_EQ(OSCMessage::readString(bad[i].data(), bad[i].size(), offset), std::nullopt) << i;
        EXPECT_EQ(offset, 0u) << i;
    }
}

TEST(OSCMessageDecode, MessagesWithoutTypeTagsHaveNoArguments) {
    EXPECT_EQ(Decode(Wire().str("/record")), Messages{OSCMessage("/record", {})});
    EXPECT_EQ(Decode(Wire().str("/record").str("xyz")), Messages{OSCMessage("/record", {})});
}

TEST(OSCMessageDecode, ReadsValuesInTagOrderAndDropsUnusedOnes) {
    const Bytes bytes = Wire()
                            .str("/mix")
                            .str(",iTsNFhIfbdcmrtS")
                            .u32(0xFFFFFFFE)
                            .str("take one")
                            .u64(0x8000000000000001ULL)
                            .f32(-1.5f)
                            .u32(5)
                            .raw({1, 2, 3, 4, 5, 0, 0, 0})  // a 5-byte blob
                            .f64(0.1)
                            .u32('c')
                            .u32(0x00903C64)
                            .u32(0xFF0000FF)
                            .u64(1)
                            .str("")
                            .raw({9, 9, 9});  // ignored
    const std::vector<OSCArgument> expected = {int32_t{-2},
                                               true,
                                               std::string("take one"),
                                               false,
                                               std::numeric_limits<int64_t>::min() + 1,
                                               -1.5f,
                                               0.1,
                                               std::string()};
    EXPECT_EQ(Decode(bytes), Messages{OSCMessage("/mix", expected)});
}

TEST(OSCMessageDecode, RejectsMalformedMessagesWhole) {
    const std::vector<Bytes> bad = {
        {},
        Wire().str("record"),                      // neither message nor bundle
        Wire().text("/abc").raw({0, 0, 0}),        // address padding past the end
        Wire().raw({'/', 0xFF, 0, 0}),             // address not UTF-8
        Wire().str("/a").text(",iii"),             // type tags without NUL
        Wire().str("/a").str(",[i]").u32(1),       // arrays
        Wire().str("/a").str(",x").u32(1),         // unknown tag
        Wire().str("/a").str(",\xC3\xA9").u32(1),  // non-ASCII tag
        Wire().str("/a").str(",i").raw({0, 0, 1}),
        Wire().str("/a").str(",ii").u32(1),
        Wire().str("/a").str(",f"),
        Wire().str("/a").str(",h").u32(1),
        Wire().str("/a").str(",d").raw({0, 0, 0, 0, 0, 0, 0}),
        Wire().str("/a").str(",s").text("abcd"),
        Wire().str("/a").str(",c").raw({0, 0}),
        Wire().str("/a").str(",t").u32(0),
        Wire().str("/a").str(",b").raw({0, 0}),
        Wire().str("/a").str(",b").u32(5).raw({1, 2, 3, 4, 5}),
        Wire().str("/a").str(",b").u32(0xFFFFFFFF).u32(0),  // rounding must not wrap
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(Decode(bad[i]), Messages{}) << i;
    }
}

TEST(OSCMessageBundle, ListsMessagesInOrderDepthFirst) {
    EXPECT_EQ(Decode(Bundle({})), Messages{});
    Bytes odd = Message("/1", 1);
    odd.push_back(0xAB);  // element sizes need not be multiples of 4
    const Bytes bytes =
        Bundle({odd, Bundle({Message("/2", 2), Bundle({}), Bundle({Message("/3", 3)})}),
                Message("/4", 4)});
    EXPECT_EQ(Decode(bytes), (Messages{OSCMessage("/1", {1}), OSCMessage("/2", {2}),
                                       OSCMessage("/3", {3}), OSCMessage("/4", {4})}));
}

TEST(OSCMessageBundle, AFaultAnywhereDropsEveryMessage) {
    Bytes truncated = Message("/b", 2);
    truncated.pop_back();
    Bytes stray = Bundle({Message("/a", 1)});
    stray.insert(stray.end(), {0, 0});
    Bytes oversized = Bundle({Message("/a", 1)});
    oversized[19] += 1;
    const std::vector<Bytes> bad = {
        Bundle({Message("/a", 1), truncated}),
        stray,
        Bundle({Message("/a", 1), {}}),  // element of size 0
        oversized,
        Bundle({Message("/a", 1)}, "#bundlex"),
        Bundle({Message("/a", 1)}, "#Bundle"),
        Wire().text({"#bundle\0", 8}).u32(0),  // shorter than a header and time tag
        Bundle({Message("/a", 1), Wire().str("x")}),
        Bundle({Message("/a", 1), Bundle({truncated})}),
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        EXPECT_EQ(Decode(bad[i]), Messages{}) << i;
    }
}

TEST(OSCMessageBundle, NestsSixteenDeepButNotSeventeen) {
    Bytes bytes = Message("/deep", 7);
    for (int i = 0; i < 16; ++i) {
        bytes = Bundle({bytes});
    }
    EXPECT_EQ(Decode(bytes), Messages{OSCMessage("/deep", {7})});
    EXPECT_EQ(Decode(Bundle({bytes})), Messages{});
}

TEST(OSCMessageEncode, WritesPaddedStringsThirtyTwoBitNumbersAndBooleanTags) {
    EXPECT_EQ(OSCMessage("/rec", {}).packet(), Bytes(Wire().str("/rec").str(",")));
    const OSCMessage message("/n", {std::string("xyz"), int32_t{-2}, 1.5f, 0.1, int64_t{-7}, true,
                                    false, std::string("wxyz")});
    EXPECT_EQ(message.packet(), Bytes(Wire()
                                          .str("/n")
                                          .str(",siffiTFs")
                                          .str("xyz")
                                          .u32(0xFFFFFFFE)
                                          .f32(1.5f)
                                          .f32(0.1f)
                                          .u32(0xFFFFFFF9)
                                          .str("wxyz")));
}

TEST(OSCMessageEncode, ClampsWideValuesToTheNarrowRange) {
    const float infinity = std::numeric_limits<float>::infinity();
    const OSCMessage message("/n", {int64_t{1} << 40, std::numeric_limits<int64_t>::min(), 1e300,
                                    -1e300, double(std::numeric_limits<float>::max())});
    EXPECT_EQ(message.packet(), Bytes(Wire()
                                          .str("/n")
                                          .str(",iifff")
                                          .u32(0x7FFFFFFF)
                                          .u32(0x80000000)
                                          .f32(infinity)
                                          .f32(-infinity)
                                          .f32(std::numeric_limits<float>::max())));

    const Messages wide = Decode(Wire().str("/w").str(",hd").u64(5).f64(2.5));
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide[0].packet(), Bytes(Wire().str("/w").str(",if").u32(5).f32(2.5f)));
}

TEST(OSCMessageEncode, StringsStopAtAnEmbeddedNul) {
    const OSCMessage message(std::string("/a\0b", 4), {std::string("x\0y", 3), int32_t{4}});
    EXPECT_EQ(message.packet(), Bytes(Wire().str("/a").str(",si").str("x").u32(4)));
}

TEST(OSCMessageDescription, AddressThenSpaceSeparatedArguments) {
    EXPECT_EQ(OSCMessage("/record", {}).description(), "/record ");
    EXPECT_EQ(OSCMessage("/x", {int32_t{-3}, true, std::string("two words"), false,
                                int64_t{1} << 40, 0.1f, 2.5})
                  .description(),
              "/x -3 true two words false 1099511627776 0.1 2.5");
}

}  // namespace
}  // namespace zarvo
