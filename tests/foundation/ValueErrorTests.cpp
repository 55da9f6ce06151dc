#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "foundation/VTRError.h"
#include "foundation/VTRGuid.h"
#include "foundation/VTRValue.h"

namespace vtr {
namespace {

TEST(VTRValueEquality, IntegersCompareByNumericValueAcrossAlternatives) {
    EXPECT_EQ(VTRValue(int32_t{5}), VTRValue(uint64_t{5}));
    EXPECT_EQ(VTRValue(int64_t{-7}), VTRValue(int32_t{-7}));
    EXPECT_EQ(VTRValue(uint32_t{0}), VTRValue(int64_t{0}));
    // A negative number never equals the unsigned value with the same bit pattern.
    EXPECT_NE(VTRValue(int64_t{-1}), VTRValue(std::numeric_limits<uint64_t>::max()));
    EXPECT_NE(VTRValue(int32_t{-1}), VTRValue(std::numeric_limits<uint32_t>::max()));
    EXPECT_NE(VTRValue(uint64_t{1} << 63), VTRValue(std::numeric_limits<int64_t>::min()));
    EXPECT_NE(VTRValue(int32_t{5}), VTRValue(int32_t{6}));
}

TEST(VTRValueEquality, OtherAlternativesMustMatchExactly) {
    EXPECT_NE(VTRValue(5), VTRValue(5.0));
    EXPECT_NE(VTRValue(true), VTRValue(1));
    EXPECT_NE(VTRValue("5"), VTRValue(5));
    EXPECT_NE(VTRValue(), VTRValue(""));
    EXPECT_EQ(VTRValue(), VTRValue(VTRNull{}));
    EXPECT_EQ(VTRValue("abc"), VTRValue(std::string("abc")));
    EXPECT_EQ(VTRValue(VTRBytes{1, 2}), VTRValue(VTRBytes{1, 2}));
    EXPECT_NE(VTRValue(VTRBytes{1, 2}), VTRValue(VTRBytes{1, 3}));
    EXPECT_EQ(VTRValue(VTRGuid("a-b")), VTRValue(VTRGuid("a-b")));
    EXPECT_NE(VTRValue(VTRGuid("a-b")), VTRValue("a-b"));
}

TEST(VTRValueEquality, CollectionsAndErrorsCompareContentsNotIdentity) {
    auto build = [](int64_t last) {
        return VTRValue(VTRDictionary{
            {"list", VTRValue(VTRArray{VTRValue(1), VTRValue("two"), VTRValue(last)})},
            {"error", VTRValue(VTRError("Vantrel", 78, {{"filenamekey", VTRValue("a.mp4")}}))},
        });
    };
    EXPECT_EQ(build(3), build(3));
    EXPECT_NE(build(3), build(4));
    EXPECT_NE(VTRValue(VTRArray{VTRValue(1)}), VTRValue(VTRArray{VTRValue(1), VTRValue(1)}));
    EXPECT_NE(VTRValue(VTRDictionary{{"a", VTRValue(1)}}),
              VTRValue(VTRDictionary{{"b", VTRValue(1)}}));
    // An empty array and an empty dictionary are different kinds of value.
    EXPECT_NE(VTRValue(VTRArray{}), VTRValue(VTRDictionary{}));

    VTRError left("Vantrel", 83,
                  {{VTRInnerErrorKey, VTRValue(VTRError("NSURLErrorDomain", -1001))}});
    VTRError right("Vantrel", 83,
                   {{VTRInnerErrorKey, VTRValue(VTRError("NSURLErrorDomain", -1001))}});
    EXPECT_EQ(left, right);
    right.mutableUserInfo()[VTRInnerErrorKey] = VTRValue(VTRError("NSURLErrorDomain", -1004));
    EXPECT_NE(left, right);
}

TEST(VTRValueBytes, CopiesShareTheBytesAndCompareByContent) {
    auto chunk = std::make_shared<const VTRBytes>(VTRBytes{9, 8, 7});
    VTRValue shared(chunk);
    VTRValue copy = shared;
    VTRArray parameters{VTRValue("S"), copy};
    // No copy of the bytes anywhere: every value reads the one storage.
    EXPECT_EQ(copy.bytesValue().data(), chunk->data());
    EXPECT_EQ(parameters[1].bytesValue().data(), chunk->data());
    EXPECT_EQ(chunk.use_count(), 4);
    // Separately stored bytes are equal exactly when their contents are.
    EXPECT_EQ(shared, VTRValue(VTRBytes{9, 8, 7}));
    EXPECT_NE(shared, VTRValue(VTRBytes{9, 8}));
    // A null storage is empty bytes, not the null marker.
    VTRValue none{std::shared_ptr<const VTRBytes>()};
    EXPECT_TRUE(none.isBytes());
    EXPECT_TRUE(none.bytesValue().empty());
    EXPECT_EQ(none, VTRValue(VTRBytes{}));
    EXPECT_NE(none, VTRValue());
    EXPECT_EQ(none.description(), "<>");
}

TEST(VTRValueReads, NumbersConvertAmongThemselvesAndOtherKindsGiveTheFallback) {
    EXPECT_EQ(VTRValue(-2.7).int64Value(), -2);
    EXPECT_EQ(VTRValue(2.7).uint64Value(), 2u);
    EXPECT_EQ(VTRValue(1e30).int64Value(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(VTRValue(-5.0).uint64Value(), 0u);
    EXPECT_EQ(VTRValue(std::nan("")).int64Value(42), 42);
    EXPECT_EQ(VTRValue(true).int64Value(), 1);
    EXPECT_TRUE(VTRValue(uint64_t{3}).boolValue());
    EXPECT_FALSE(VTRValue(0.0).boolValue(true));
    EXPECT_DOUBLE_EQ(VTRValue(int32_t{-3}).doubleValue(), -3.0);
    EXPECT_EQ(VTRValue("12").int64Value(9), 9);
    EXPECT_TRUE(VTRValue("x").boolValue(true));
    EXPECT_EQ(VTRValue().doubleValue(1.5), 1.5);

    EXPECT_TRUE(VTRValue(int32_t{1}).isInteger());
    EXPECT_FALSE(VTRValue(1.0).isInteger());
    EXPECT_TRUE(VTRValue(false).isNumber());
    EXPECT_FALSE(VTRValue("1").isNumber());
}

TEST(VTRValueReads, AccessorsOfAnotherKindAreEmptyAndLookUpsDistinguishAbsent) {
    VTRValue number(7);
    EXPECT_TRUE(number.stringValue().empty());
    EXPECT_TRUE(number.bytesValue().empty());
    EXPECT_TRUE(number.arrayValue().empty());
    EXPECT_TRUE(number.dictionaryValue().empty());
    EXPECT_EQ(number.guidValue(), nullptr);
    EXPECT_EQ(number.errorValue(), nullptr);
    EXPECT_EQ(number.find("a"), nullptr);

    VTRValue dictionary(VTRDictionary{{"present", VTRValue()}, {"n", VTRValue(3)}});
    ASSERT_NE(dictionary.find("present"), nullptr);
    EXPECT_TRUE(dictionary.find("present")->isNull());  // present, holding the null marker
    EXPECT_EQ(dictionary.find("absent"), nullptr);
    ASSERT_NE(find(dictionary.dictionaryValue(), "n"), nullptr);
    EXPECT_EQ(find(dictionary.dictionaryValue(), "n")->int64Value(), 3);

    // Copies share nothing that a change through one could affect in the other.
    VTRError error("Vantrel", 84);
    VTRValue wrapped(error);
    error.mutableUserInfo()["filenamekey"] = VTRValue("changed");
    ASSERT_NE(wrapped.errorValue(), nullptr);
    EXPECT_TRUE(wrapped.errorValue()->userInfo().empty());
}

TEST(VTRValueDescription, RendersEveryKindReadably) {
    EXPECT_EQ(VTRValue().description(), "<null>");
    EXPECT_EQ(VTRValue("plain text").description(), "plain text");
    EXPECT_EQ(VTRValue(int64_t{-12}).description(), "-12");
    EXPECT_EQ(VTRValue(std::numeric_limits<uint64_t>::max()).description(), "18446744073709551615");
    EXPECT_EQ(VTRValue(0.5).description(), "0.5");
    EXPECT_EQ(VTRValue(true).description(), "1");
    EXPECT_EQ(VTRValue(VTRBytes{0x00, 0x1f, 0xa0, 0xff, 0x10}).description(), "<001fa0ff 10>");
    EXPECT_EQ(VTRValue(VTRGuid("abc")).description(), "abc");
    EXPECT_EQ(VTRValue(VTRArray{VTRValue(1), VTRValue("b")}).description(), "(\n    1,\n    b\n)");
    EXPECT_EQ(VTRValue(VTRDictionary{{"k", VTRValue(VTRArray{VTRValue(1)})}}).description(),
              "{\n    k = (\n        1\n    );\n}");
    EXPECT_EQ(VTRValue(VTRArray{}).description(), "()");
    EXPECT_EQ(VTRValue(VTRDictionary{}).description(), "{}");
}

TEST(VTRErrorText, LocalizedDescriptionFallsBackToDomainAndCode) {
    EXPECT_EQ(VTRError("Vantrel", 78).localizedDescription(),
              "The operation couldn't be completed. (Vantrel error 78.)");
    EXPECT_EQ(VTRError(NSURLErrorDomain, NSURLErrorTimedOut).localizedDescription(),
              "The operation couldn't be completed. (NSURLErrorDomain error -1001.)");
    // A description entry that is not text does not count.
    EXPECT_EQ(
        VTRError("Vantrel", 1, {{NSLocalizedDescriptionKey, VTRValue(5)}}).localizedDescription(),
        "The operation couldn't be completed. (Vantrel error 1.)");

    VTRError described = VTRError::withDescription("Vantrel", 95, "Checksum mismatch");
    EXPECT_EQ(described.localizedDescription(), "Checksum mismatch");
    EXPECT_EQ(described.localizedFailureReason(), "");
    EXPECT_EQ(described.userInfo().count(NSLocalizedFailureReasonErrorKey), 0u);

    VTRError withReason = VTRError::withDescription("Vantrel", 79, "Close failed", "Busy");
    EXPECT_EQ(withReason.localizedFailureReason(), "Busy");
    EXPECT_EQ(withReason.code(), 79);
    EXPECT_EQ(withReason.domain(), "Vantrel");
}

TEST(VTRErrorText, InnerErrorIsFoundOnlyUnderItsKeyAndOnlyWhenItIsAnError) {
    VTRError inner(NSURLErrorDomain, NSURLErrorCancelled);
    VTRError outer("Vantrel", 83, {{VTRInnerErrorKey, VTRValue(inner)}});
    ASSERT_NE(outer.innerError(), nullptr);
    EXPECT_EQ(*outer.innerError(), inner);
    EXPECT_EQ(VTRError("Vantrel", 83).innerError(), nullptr);
    EXPECT_EQ(VTRError("Vantrel", 83, {{VTRInnerErrorKey, VTRValue("text")}}).innerError(),
              nullptr);
}

TEST(VTRErrorText, DescriptionShowsDomainCodeTextAndDetails) {
    VTRError error = VTRError::withDescription("Vantrel", 78, "File missing");
    error.mutableUserInfo()[VTRFileNameKey] = VTRValue("/tmp/a.mp4");
    EXPECT_EQ(error.description(),
              "Error Domain=Vantrel Code=78 \"File missing\" UserInfo={NSLocalizedDescription=File "
              "missing, filenamekey=/tmp/a.mp4}");
    EXPECT_EQ(VTRError("D", -3).description(),
              "Error Domain=D Code=-3 \"The operation couldn't be completed. (D error -3.)\" "
              "UserInfo={}");
    // A wrapped error appears through its own description.
    VTRError outer("Vantrel", 83, {{VTRInnerErrorKey, VTRValue(VTRError("X", 1))}});
    EXPECT_NE(outer.description().find("innererrorkey=Error Domain=X Code=1"), std::string::npos);
}

TEST(VTRGuidSoap, TextGoesInUnchangedAndUnescaped) {
    EXPECT_EQ(VTRGuid("8f1c<&>").soapParameterValue(), "<guid xsi:type=\"s1:guid\">8f1c<&></guid>");
    EXPECT_EQ(VTRGuid().soapParameterValue(),
              "<guid xsi:type=\"s1:guid\">00000000-0000-0000-0000-000000000000</guid>");
    VTRGuid guid = VTRGuid::guidWithString("  not-a-guid ");
    EXPECT_EQ(guid.stringValue(), "  not-a-guid ");
    guid.setTheGuid("x");
    EXPECT_EQ(guid.soapParameterValue(), "<guid xsi:type=\"s1:guid\">x</guid>");
}

}  // namespace
}  // namespace vtr
