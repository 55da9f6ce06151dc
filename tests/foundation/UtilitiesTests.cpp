// Byte-buffer, stream and string utilities, null tests, array mapping and error classification.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "foundation/VTRArrayAdditions.h"
#include "foundation/VTRDataAdditions.h"
#include "foundation/VTRErrorAdditions.h"
#include "foundation/VTRNullAdditions.h"
#include "foundation/VTRStreamAdditions.h"
#include "foundation/VTRStringAdditions.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

std::string hex(const VTRBytes& bytes) {
    std::string text;
    for (uint8_t b : bytes) text += fmt::format("{:02x}", b);
    return text;
}

VTRBytes bytesOf(std::string_view text) {
    return VTRBytes(text.begin(), text.end());
}

TEST(Base64Test, EncodesGroupsWithPaddingAndExactLength) {
    EXPECT_EQ(base64String(std::string_view("abc")), "YWJj");
    EXPECT_EQ(base64String(std::string_view("a")), "YQ==");
    EXPECT_EQ(base64String(std::string_view("ab")), "YWI=");
    EXPECT_EQ(base64String(VTRBytes{}), "");
    EXPECT_EQ(base64String(VTRBytes{0xFB, 0xFF, 0xBF}), "+/+/");
    for (size_t n = 0; n < 40; ++n) {
        std::string input = test::randomBytes(n, static_cast<uint32_t>(n) + 1);
        std::string text = base64String(input);
        EXPECT_EQ(text.size(), 4 * ((n + 2) / 3)) << n;
        EXPECT_EQ(base64DecodedData(text), bytesOf(input)) << n;
    }
}

TEST(Base64Test, NeverBreaksLines) {
    std::string input = test::randomBytes(64 * 1024, 7);
    std::string text = base64String(input);
    EXPECT_EQ(text.size(), 4 * ((input.size() + 2) / 3));
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(base64DecodedData(text), bytesOf(input));
}

TEST(Base64Test, DecodingSkipsForeignCharactersAndRejectsBrokenText) {
    EXPECT_EQ(base64DecodedData("YW\nJj"), bytesOf("abc"));
    EXPECT_EQ(base64DecodedData(" YQ==\r\n"), bytesOf("a"));
    EXPECT_EQ(base64DecodedData(""), VTRBytes{});
    EXPECT_EQ(base64DecodedData("YWJ"), std::nullopt);   // not a whole group
    EXPECT_EQ(base64DecodedData("Y=Jj"), std::nullopt);  // padding where data belongs
    EXPECT_EQ(base64DecodedData("Y==="), std::nullopt);  // three pad characters
}

TEST(MD5Test, BufferDigestsMatchKnownValuesAndOnWireForm) {
    EXPECT_EQ(hex(md5Digest(VTRBytes{})), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(hex(md5Digest(std::string_view("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    VTRBytes digest = md5Digest(std::string_view("abc"));
    EXPECT_EQ(md5Digest(digest.data(), 0), md5Digest(VTRBytes{}));
    std::string onWire = base64String(digest);
    EXPECT_EQ(onWire, "kAFQmDzST7DWlj99KOF/cg==");
    EXPECT_EQ(onWire.size(), 24u);
}

TEST(MD5Test, StreamDigestEqualsBufferDigestForAwkwardSizes) {
    test::TempDir dir;
    for (size_t size : {size_t{0}, size_t{1}, size_t{1023}, size_t{1024}, size_t{1025},
                        size_t{(1 << 20) + 1}, size_t{5 * (1 << 20) + 7}}) {
        std::string contents = test::randomBytes(size, static_cast<uint32_t>(size) + 3);
        std::string path = dir.file(fmt::format("f{}", size));
        test::writeFile(path, contents);
        VTRFileInputStream stream(path);
        ASSERT_TRUE(stream.open());
        std::optional<VTRBytes> digest = md5Digest(stream);
        ASSERT_TRUE(digest.has_value()) << size;
        EXPECT_EQ(*digest, md5Digest(contents)) << size;
        EXPECT_EQ(stream.status(), VTRStreamStatus::AtEnd) << size;
        stream.close();
        EXPECT_EQ(stream.status(), VTRStreamStatus::Closed);
    }
}

TEST(MD5Test, StreamDigestCoversOnlyWhatIsLeftToRead) {
    test::TempDir dir;
    std::string contents = test::randomBytes(3000, 11);
    test::writeFile(dir.file("f"), contents);
    VTRFileInputStream stream(dir.file("f"));
    ASSERT_TRUE(stream.open());
    uint8_t head[100];
    ASSERT_EQ(stream.read(head, sizeof head), 100);
    EXPECT_EQ(md5Digest(stream), md5Digest(std::string_view(contents).substr(100)));
    // At the end the stream is no longer "open": nothing is read and nothing returned.
    EXPECT_EQ(md5Digest(stream), std::nullopt);
    ASSERT_TRUE(stream.setOffset(2000));
    EXPECT_EQ(stream.offset(), 2000);
    EXPECT_EQ(md5Digest(stream), md5Digest(std::string_view(contents).substr(2000)));
}

TEST(MD5Test, StreamDigestIsNothingUnlessTheStreamIsOpen) {
    test::TempDir dir;
    test::writeFile(dir.file("f"), "data");
    VTRFileInputStream neverOpened(dir.file("f"));
    EXPECT_EQ(md5Digest(neverOpened), std::nullopt);
    EXPECT_EQ(neverOpened.status(), VTRStreamStatus::NotOpen);

    VTRFileInputStream closed(dir.file("f"));
    ASSERT_TRUE(closed.open());
    closed.close();
    EXPECT_EQ(md5Digest(closed), std::nullopt);
    uint8_t byte;
    EXPECT_EQ(closed.read(&byte, 1), -1);

    VTRFileInputStream missing(dir.file("absent"));
    VTRError error;
    EXPECT_FALSE(missing.open(&error));
    EXPECT_EQ(error.domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(error.code(), ENOENT);
    EXPECT_EQ(missing.status(), VTRStreamStatus::Error);
    EXPECT_EQ(md5Digest(missing), std::nullopt);
}

TEST(MD5Test, StreamOpensOnlyRegularFilesAndWithoutWaitingOnThem) {
    // A FIFO without a writer would block a plain open for ever; a directory, a device or a
    // link to a FIFO would be read as something no upload could be.
    test::TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string link = dir.file("link");
    ASSERT_EQ(::symlink(fifo.c_str(), link.c_str()), 0);
    for (const std::string& path : {fifo, link, dir.path(), std::string("/dev/zero")}) {
        VTRFileInputStream stream(path);
        VTRError error;
        EXPECT_FALSE(stream.open(&error)) << path;
        EXPECT_TRUE(stream.notRegularFile()) << path;
        EXPECT_EQ(error.code(), EINVAL) << path;
        EXPECT_EQ(error.localizedFailureReason(), "\"" + path + "\" is not a regular file");
        EXPECT_EQ(stream.status(), VTRStreamStatus::Error);
        EXPECT_EQ(md5Digest(stream), std::nullopt);
    }
}

TEST(MD5Test, DigestStopsWithNothingWhenAsked) {
    test::TempDir dir;
    test::writeFile(dir.file("f"), test::randomBytes(3 << 20, 5));
    VTRFileInputStream stream(dir.file("f"));
    ASSERT_TRUE(stream.open());
    int asked = 0;
    EXPECT_EQ(md5Digest(stream, [&] { return ++asked == 2; }), std::nullopt);
    // Stopped after the first block of 1 MiB.
    EXPECT_EQ(stream.offset(), 1 << 20);
}

TEST(DESTest, EncryptsTheFIPS81CBCVectorWithPKCS7Padding) {
    VTRBytes key{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    VTRBytes iv{0x12, 0x34, 0x56, 0x78, 0x90, 0xAB, 0xCD, 0xEF};
    VTRError error;
    std::optional<VTRBytes> cipher =
        encryptDataWithDESKey(bytesOf("Now is the time for all "), key, iv, &error);
    ASSERT_TRUE(cipher.has_value()) << error.description();
    // The first three blocks are the published CBC example; the fourth is the full padding
    // block that PKCS#7 adds to a whole-block input.
    EXPECT_EQ(hex(*cipher),
              "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"
              "62c16a27e4fcf277");
    EXPECT_EQ(encryptDataWithDESKey({}, key, iv)->size(), 8u);
    EXPECT_EQ(encryptDataWithDESKey(bytesOf("12345"), key, iv)->size(), 8u);
}

TEST(DESTest, RejectsKeysAndVectorsOfTheWrongLength) {
    VTRBytes eight(8, 1);
    VTRError error;
    EXPECT_EQ(encryptDataWithDESKey(bytesOf("x"), VTRBytes(7, 1), eight, &error), std::nullopt);
    EXPECT_EQ(error.domain(), VTRErrorDomain);
    EXPECT_FALSE(error.localizedFailureReason().empty());
    EXPECT_EQ(encryptDataWithDESKey(bytesOf("x"), eight, VTRBytes(16, 1)), std::nullopt);
}

TEST(StringTest, TrimSlashRemovesOnlyOuterSlashes) {
    EXPECT_EQ(trimSlash("//a/b//"), "a/b");
    EXPECT_EQ(trimSlash("/"), "");
    EXPECT_EQ(trimSlash(""), "");
    EXPECT_EQ(trimSlash("http://tempuri.org/"), "http://tempuri.org");
    EXPECT_EQ(trimSlash("abc"), "abc");
}

TEST(StringTest, IsEmptyIgnoresWhitespaceAndNewlinesAtBothEnds) {
    EXPECT_TRUE(isEmpty(""));
    EXPECT_TRUE(isEmpty("   "));
    EXPECT_TRUE(isEmpty("\n\n\r\n"));
    EXPECT_TRUE(isEmpty(" \t\n\xC2\xA0\xE2\x80\xA8"));  // no-break space, line separator
    EXPECT_FALSE(isEmpty("  a  "));
    EXPECT_FALSE(isEmpty("\xE2\x80"));  // a truncated sequence is not white space
    EXPECT_EQ(trimWhitespaceAndNewlines("\xE3\x80\x80 x y\t\xC2\x85"), "x y");
}

TEST(StringTest, QueryParametersKeepOnlyPiecesOfExactlyTwoParts) {
    auto parameters = queryParameters("a=1&b=2&broken&c=3=4&a=5&d=&=6");
    std::map<std::string, std::string> expected{{"a", "5"}, {"b", "2"}, {"d", ""}, {"", "6"}};
    EXPECT_EQ(parameters, expected);
    EXPECT_EQ(queryParameters("x=%20"), (std::map<std::string, std::string>{{"x", "%20"}}));
    EXPECT_TRUE(queryParameters("").empty());
}

TEST(StringTest, UrlEncodeEscapesReservedAndUnsafeBytes) {
    EXPECT_EQ(urlEncode("aZ09-_.!~*'()"), "aZ09-_.!~*'()");
    EXPECT_EQ(urlEncode(";/?:@&=+$,"), "%3B%2F%3F%3A%40%26%3D%2B%24%2C");
    EXPECT_EQ(urlEncode("a b\n%#"), "a%20b%0A%25%23");
    EXPECT_EQ(urlEncode("\xC3\xA9"), "%C3%A9");
}

TEST(StringTest, UUIDsAreRandomUpperCaseVersion4) {
    std::string a = stringWithUUID();
    std::string b = stringWithUUID();
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u);
    for (size_t i = 0; i < a.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            EXPECT_EQ(a[i], '-');
        else
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(a[i])) ||
                        (a[i] >= 'A' && a[i] <= 'F'))
                << a;
    }
    EXPECT_EQ(a[14], '4');
    EXPECT_NE(std::string("89AB").find(a[19]), std::string::npos);
}

class HomeDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const char* home = std::getenv("HOME")) savedHome_ = home;
        setenv("HOME", "/home/bob/", 1);
    }
    void TearDown() override {
        if (savedHome_)
            setenv("HOME", savedHome_->c_str(), 1);
        else
            unsetenv("HOME");
    }
    std::optional<std::string> savedHome_;
};

TEST_F(HomeDirectoryTest, StandardisesBeforeComparing) {
    EXPECT_EQ(standardizedPath("/a//b/./c/../d/"), "/a/b/d");
    EXPECT_EQ(standardizedPath("/../x"), "/x");
    EXPECT_EQ(standardizedPath("~/Movies"), "/home/bob/Movies");
    EXPECT_TRUE(isUnderHomeDirectory("~/Movies/a.mov"));
    EXPECT_TRUE(isUnderHomeDirectory("/home//bob/./x"));
    EXPECT_TRUE(isUnderHomeDirectory("/home/bob"));
    EXPECT_FALSE(isUnderHomeDirectory("/home/bob/../alice/x"));
    EXPECT_FALSE(isUnderHomeDirectory("/home/bobby/x"));  // a prefix of the text, not a parent
    EXPECT_EQ(pathRelativeToHome("/home/bob/Movies//a.mov"), "Movies/a.mov");
    EXPECT_EQ(pathRelativeToHome("~"), "");
    EXPECT_EQ(pathRelativeToHome("/tmp/x"), std::nullopt);
}

TEST(NullTest, NullMeansAbsentOrTheNullMarkerOnly) {
    VTRValue null;
    VTRValue emptyString(std::string{});
    VTRValue zero(int64_t{0});
    VTRValue no(false);
    EXPECT_TRUE(isNull(nullptr));
    EXPECT_TRUE(isNull(&null));
    EXPECT_FALSE(isNull(&emptyString));
    EXPECT_FALSE(isNull(&zero));
    EXPECT_FALSE(isNull(&no));
}

TEST(NullTest, NullOrEmptyAlsoCoversBlankStrings) {
    VTRValue null;
    VTRValue blank(" \t\r\n ");
    VTRValue digit("0");
    VTRValue zero(int64_t{0});
    EXPECT_TRUE(isNullOrEmpty(nullptr));
    EXPECT_TRUE(isNullOrEmpty(&null));
    EXPECT_TRUE(isNullOrEmpty(&blank));
    EXPECT_FALSE(isNullOrEmpty(&digit));
    EXPECT_FALSE(isNullOrEmpty(&zero));
}

TEST(ArrayMappingTest, MapsEveryElementOnceInOrder) {
    std::vector<std::string> letters{"a", "b", "c"};
    std::vector<std::string> seen;
    auto upper = arrayByMappingWithTransform(letters, [&](const std::string& s) {
        seen.push_back(s);
        return std::string(1, static_cast<char>(std::toupper(s[0])));
    });
    EXPECT_EQ(upper, (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(seen, letters);
    EXPECT_TRUE(arrayByMappingWithTransform(std::vector<int>{}, [](int i) { return i; }).empty());
    VTRArray values{VTRValue("x"), VTRValue(int64_t{2})};
    auto descriptions =
        arrayByMappingWithTransform(values, [](const VTRValue& v) { return v.description(); });
    EXPECT_EQ(descriptions, (std::vector<std::string>{"x", "2"}));
}

VTRError wrapping(const VTRValue& inner) {
    return VTRError(VTRErrorDomain, VTRErrorCodeChunkNotAccepted, {{VTRInnerErrorKey, inner}});
}

TEST(ErrorClassificationTest, RecognisesNetworkCodesOnlyInTheURLDomain) {
    for (int64_t code : {1, 302, 306, -1001, -1003, -1004, -1005, -1006, -1009}) {
        EXPECT_TRUE(isNetworkConnectivityError(VTRError(NSURLErrorDomain, code))) << code;
        EXPECT_FALSE(isCancelledOperationError(VTRError(NSURLErrorDomain, code))) << code;
    }
    EXPECT_FALSE(isNetworkConnectivityError(VTRError(NSURLErrorDomain, -1002)));
    EXPECT_FALSE(isNetworkConnectivityError(VTRError(NSURLErrorDomain, -1200)));
    EXPECT_FALSE(isNetworkConnectivityError(VTRError(NSCocoaErrorDomain, -1001)));
    EXPECT_FALSE(isNetworkConnectivityError(VTRError(VTRErrorDomain, -1001)));
    EXPECT_TRUE(isCancelledOperationError(VTRError(NSURLErrorDomain, -999)));
    EXPECT_FALSE(isCancelledOperationError(VTRError("AFNetworkingErrorDomain", -999)));
    EXPECT_FALSE(isNetworkConnectivityError(VTRError(NSURLErrorDomain, -999)));
}

TEST(ErrorClassificationTest, LooksExactlyOneLevelUnderTheInnerErrorKey) {
    VTRError cancel(NSURLErrorDomain, NSURLErrorCancelled);
    VTRError timeout(NSURLErrorDomain, NSURLErrorTimedOut);

    EXPECT_TRUE(isCancelledOperationError(wrapping(cancel)));
    EXPECT_FALSE(isNetworkConnectivityError(wrapping(cancel)));
    EXPECT_TRUE(isNetworkConnectivityError(wrapping(timeout)));

    EXPECT_FALSE(isNetworkConnectivityError(wrapping(VTRValue())));
    EXPECT_FALSE(isCancelledOperationError(wrapping(VTRValue())));
    EXPECT_FALSE(isNetworkConnectivityError(wrapping(VTRValue("-1001"))));

    // A wrapped "Vantrel" error is not opened further.
    EXPECT_FALSE(isNetworkConnectivityError(wrapping(wrapping(timeout))));
    EXPECT_FALSE(isCancelledOperationError(wrapping(wrapping(cancel))));

    // Only the daemon's own errors are looked into.
    VTRError foreign(NSCocoaErrorDomain, 1, {{VTRInnerErrorKey, timeout}});
    EXPECT_FALSE(isNetworkConnectivityError(foreign));
}

}  // namespace
}  // namespace vtr
