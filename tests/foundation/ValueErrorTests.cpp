#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "foundation/VTRError.h"
#include "foundation/VTRGuid.h"
#include "foundation/VTRValue.h"

namespace vtr {
namespace {

// Integers compare by numeric value across their alternatives; every other kind must match
// exactly, and collections and errors compare their contents, not their identity.
TEST(VTRValueEquality, ComparesNumbersByValueAndEverythingElseByKindAndContent) {
    auto collection = [](int64_t last) {
        return VTRValue(VTRDictionary{
            {"list", VTRValue(VTRArray{VTRValue(1), VTRValue("two"), VTRValue(last)})},
            {"error", VTRValue(VTRError("Vantrel", 78, {{"filenamekey", VTRValue("a.mp4")}}))},
        });
    };
    auto wrapping = [](int64_t code) {
        return VTRValue(VTRError("Vantrel", 83,
                                 {{VTRInnerErrorKey, VTRValue(VTRError(NSURLErrorDomain, code))}}));
    };
    using V = VTRValue;
    EXPECT_EQ(V(int32_t{5}), V(uint64_t{5}));
    EXPECT_EQ(V(int64_t{-7}), V(int32_t{-7}));
    // A negative number never equals the unsigned value with the same bit pattern.
    EXPECT_NE(V(int64_t{-1}), V(std::numeric_limits<uint64_t>::max()));
    EXPECT_NE(V(int32_t{-1}), V(std::numeric_limits<uint32_t>::max()));
    EXPECT_NE(V(uint64_t{1} << 63), V(std::numeric_limits<int64_t>::min()));
    EXPECT_NE(V(5), V(5.0));
    EXPECT_NE(V(true), V(1));
    EXPECT_NE(V("5"), V(5));
    EXPECT_NE(V(), V(""));
    EXPECT_EQ(V(), V(VTRNull{}));
    EXPECT_NE(V(VTRBytes{1, 2}), V(VTRBytes{1, 3}));
    EXPECT_NE(V(VTRGuid("a-b")), V("a-b"));
    EXPECT_EQ(collection(3), collection(3));
    EXPECT_NE(collection(3), collection(4));
    EXPECT_NE(V(VTRArray{V(1)}), V(VTRArray{V(1), V(1)}));
    EXPECT_NE(V(VTRDictionary{{"a", V(1)}}), V(VTRDictionary{{"b", V(1)}}));
    EXPECT_NE(V(VTRArray{}), V(VTRDictionary{}));
    EXPECT_EQ(wrapping(-1001), wrapping(-1001));
    EXPECT_NE(wrapping(-1001), wrapping(-1004));
}

TEST(VTRValueReads, NumbersConvertOtherKindsGiveTheFallbackAndCopiesShareTheBytes) {
    EXPECT_EQ(VTRValue(-2.7).int64Value(), -2);
    EXPECT_EQ(VTRValue(1e30).int64Value(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(VTRValue(-5.0).uint64Value(), 0u);
    EXPECT_EQ(VTRValue(std::nan("")).int64Value(42), 42);
    EXPECT_EQ(VTRValue("12").int64Value(9), 9);
    EXPECT_EQ(VTRValue(7).find("a"), nullptr);
    VTRValue dictionary(VTRDictionary{{"present", VTRValue()}});
    ASSERT_NE(dictionary.find("present"), nullptr);
    EXPECT_TRUE(dictionary.find("present")->isNull());  // present, holding the null marker
    EXPECT_EQ(dictionary.find("absent"), nullptr);
    // A copy shares nothing that a change through the original could affect.
    VTRError error("Vantrel", 84);
    VTRValue wrapped(error);
    error.mutableUserInfo()["filenamekey"] = VTRValue("changed");
    EXPECT_TRUE(wrapped.errorValue()->userInfo().empty());

    // Bytes held in shared storage: copies read that storage; none at all reads as empty.
    auto chunk = std::make_shared<const VTRBytes>(VTRBytes{9, 8, 7});
    VTRValue shared(chunk);
    VTRArray parameters{VTRValue("S"), shared};
    // No copy of the bytes anywhere: every value reads the one storage.
    EXPECT_EQ(parameters[1].bytesValue().data(), chunk->data());
    EXPECT_EQ(chunk.use_count(), 3);
    EXPECT_EQ(shared, VTRValue(VTRBytes{9, 8, 7}));
    VTRValue none{std::shared_ptr<const VTRBytes>()};
    EXPECT_TRUE(none.isBytes() && none.bytesValue().empty());
    EXPECT_EQ(none, VTRValue(VTRBytes{}));
    EXPECT_NE(none, VTRValue());
}

TEST(VTRValueDescription, RendersEveryKindReadablyAndAGuidAsSOAPText) {
    EXPECT_EQ(VTRValue().description(), "<null>");
    EXPECT_EQ(VTRValue(std::numeric_limits<uint64_t>::max()).description(), "18446744073709551615");
    EXPECT_EQ(VTRValue(0.5).description(), "0.5");
    EXPECT_EQ(VTRValue(VTRBytes{0x00, 0x1f, 0xa0, 0xff, 0x10}).description(), "<001fa0ff 10>");
    EXPECT_EQ(VTRValue(VTRDictionary{{"k", VTRValue(VTRArray{VTRValue(1), VTRValue("b")})}})
                  .description(),
              "{\n    k = (\n        1,\n        b\n    );\n}");
    // A GUID goes into SOAP text unchanged and unescaped.
    EXPECT_EQ(VTRGuid("8f1c<&>").soapParameterValue(), "<guid xsi:type=\"s1:guid\">8f1c<&></guid>");
    EXPECT_EQ(VTRGuid().soapParameterValue(),
              "<guid xsi:type=\"s1:guid\">00000000-0000-0000-0000-000000000000</guid>");
}

TEST(VTRErrorText, DescriptionsFallBackToDomainAndCodeAndShowTheDetails) {
    EXPECT_EQ(VTRError(NSURLErrorDomain, NSURLErrorTimedOut).localizedDescription(),
              "The operation couldn't be completed. (NSURLErrorDomain error -1001.)");
    // A description entry that is not text does not count.
    EXPECT_EQ(
        VTRError("Vantrel", 1, {{NSLocalizedDescriptionKey, VTRValue(5)}}).localizedDescription(),
        "The operation couldn't be completed. (Vantrel error 1.)");
    VTRError error = VTRError::withDescription("Vantrel", 78, "File missing");
    EXPECT_EQ(error.localizedFailureReason(), "");
    EXPECT_EQ(VTRError::withDescription("V", 79, "Close failed", "Busy").localizedFailureReason(),
              "Busy");
    error.mutableUserInfo()[VTRFileNameKey] = VTRValue("/tmp/a.mp4");
    EXPECT_EQ(error.description(),
              "Error Domain=Vantrel Code=78 \"File missing\" UserInfo={NSLocalizedDescription=File "
              "missing, filenamekey=/tmp/a.mp4}");
    // The inner error is found only under its key and only when it is an error.
    VTRError inner(NSURLErrorDomain, NSURLErrorCancelled);
    VTRError outer("Vantrel", 83, {{VTRInnerErrorKey, VTRValue(inner)}});
    ASSERT_NE(outer.innerError(), nullptr);
    EXPECT_EQ(*outer.innerError(), inner);
    EXPECT_NE(outer.description().find("innererrorkey=Error Domain=NSURLErrorDomain Code=-999"),
              std::string::npos);
    EXPECT_EQ(VTRError("V", 83, {{VTRInnerErrorKey, VTRValue("text")}}).innerError(), nullptr);
}

}  // namespace
}  // namespace vtr
