// Reading numbers that the server sends as text, exactly and whatever the process locale, and
// the message texts with their placeholders.
#include <clocale>
#include <cstdlib>
#include <locale>
#include <string>

#include <gtest/gtest.h>

#include "foundation/VTRLocalizedString.h"
#include "foundation/VTRStringAdditions.h"
#include "support/TestSupport.h"

namespace vtr {
namespace {

TEST(ServerNumberTest, ReadsIntegersAndDecimalsExactly) {
    auto exact = [](const char* text) { return numberFromServerString(text)->exactInt64(); };
    EXPECT_EQ(numberFromServerString("1048576"), VTRDecimal(1048576));
    EXPECT_EQ(exact("1048576"), 1048576);
    EXPECT_EQ(exact("9007199254740993"), 9007199254740993);  // beyond a double's digits
    EXPECT_EQ(numberFromServerString("1,048,576"), VTRDecimal(1048576));
    EXPECT_EQ(numberFromServerString(" 42\n"), VTRDecimal(42));
    EXPECT_EQ(numberFromServerString("1.5E3"), VTRDecimal(1500));
    EXPECT_EQ(numberFromServerString("+7"), VTRDecimal(7));
    EXPECT_EQ(numberFromServerString("-0"), VTRDecimal(0));
    EXPECT_EQ(numberFromServerString("000120"), VTRDecimal(120));
    EXPECT_EQ(exact("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(exact("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(exact("9223372036854775808"), std::nullopt);
    EXPECT_EQ(numberFromServerString("9223372036854775808")->int64Value(), INT64_MAX);
    auto tenth = numberFromServerString("0.1");
    ASSERT_TRUE(tenth.has_value());
    EXPECT_FALSE(tenth->isInteger());
    EXPECT_EQ(tenth->stringValue(), "0.1");
    EXPECT_EQ(tenth->exactInt64(), std::nullopt);
    EXPECT_EQ(tenth->int64Value(), 0);
    EXPECT_EQ(numberFromServerString("-2.50")->stringValue(), "-2.5");
    EXPECT_EQ(numberFromServerString("-12.9")->int64Value(), -12);
    EXPECT_DOUBLE_EQ(numberFromServerString("-12.25")->doubleValue(), -12.25);
}

TEST(ServerNumberTest, RefusesWhatIsNotANumber) {
    for (const char* text : {"abc", "", " ", "12abc", "1.2.3", "--1", ".", "1,00", "1,0000", ",100",
                             "1e", "1e99999", "0x10", "1 000", "1.5,0", "NaN"}) {
        EXPECT_EQ(numberFromServerString(text), std::nullopt) << text;
    }
    EXPECT_EQ(numberFromServerString(static_cast<const VTRValue*>(nullptr)), std::nullopt);
    VTRValue null, number(int64_t{5}), text("5");
    EXPECT_EQ(numberFromServerString(&null), std::nullopt);
    EXPECT_EQ(numberFromServerString(&number), std::nullopt);
    EXPECT_EQ(numberFromServerString(&text), VTRDecimal(5));
}

// German numbers swap the separators: "1.048.576,5". The server writes "1048576.5" whatever
// the machine's locale, so a reader that followed the locale would misread it.
struct GermanPunctuation : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

void expectLocaleIndependentResults() {
    EXPECT_EQ(numberFromServerString("1048576"), VTRDecimal(1048576));
    auto half = numberFromServerString("1048576.5");
    ASSERT_TRUE(half.has_value());
    EXPECT_EQ(half->stringValue(), "1048576.5");
    EXPECT_DOUBLE_EQ(half->doubleValue(), 1048576.5);
    EXPECT_EQ(half->int64Value(), 1048576);
    EXPECT_EQ(numberFromServerString("1,5"), std::nullopt);
    EXPECT_EQ(numberFromServerString("1.048.576"), std::nullopt);
}

class GermanLocaleTest : public ::testing::Test {
  protected:
    void TearDown() override {
        std::locale::global(std::locale::classic());
        std::setlocale(LC_ALL, "C");
        if (savedLocPath_)
            setenv("LOCPATH", savedLocPath_->c_str(), 1);
        else
            unsetenv("LOCPATH");
    }

    // Sets a German C locale process-wide; when the machine has none compiled, compiles one
    // into a temporary directory from the system's locale sources.
    bool setGermanCLocale() {
        if (const char* path = std::getenv("LOCPATH")) savedLocPath_ = path;
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE"})
            if (std::setlocale(LC_ALL, name)) return true;
        std::string command = fmt::format("localedef -i de_DE -f UTF-8 '{}' >/dev/null 2>&1",
                                          dir_.file("de_DE.UTF-8"));
        if (std::system(command.c_str()) != 0) return false;
        setenv("LOCPATH", dir_.path().c_str(), 1);
        return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }

    test::TempDir dir_;
    std::optional<std::string> savedLocPath_;
};

TEST_F(GermanLocaleTest, NeitherTheCppNorTheCLocaleChangesResults) {
    std::locale::global(std::locale(std::locale::classic(), new GermanPunctuation));
    ASSERT_EQ(std::use_facet<std::numpunct<char>>(std::locale()).decimal_point(), ',');
    expectLocaleIndependentResults();
    std::locale::global(std::locale::classic());
    if (!setGermanCLocale()) GTEST_SKIP() << "no German C locale available or compilable here";
    // Prove the locale is really in force: the C library now reads "2,5" as two and a half.
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    ASSERT_EQ(std::strtod("2,5", nullptr), 2.5);
    expectLocaleIndependentResults();
}

TEST(LocalizedStringTest, FormatsPositionalAndSequentialPlaceholders) {
    EXPECT_EQ(
        VTRFormatLocalized(VTRLocalizedString::stringFileUploadFailed(), {"1048576", "/tmp/a.mov"}),
        "Failed at offset 1048576 of file /tmp/a.mov");
    EXPECT_EQ(VTRFormatLocalized("%2$@ before %1$llu", {"1", "two"}), "two before 1");
    EXPECT_EQ(VTRFormatLocalized(VTRLocalizedString::stringFileDNE(), {"/x y"}),
              "\"/x y\" does not exist");
    EXPECT_EQ(VTRFormatLocalized("%@ %s %i %li %llu %d", {"a", "b", "1", "2", "3", "4"}),
              "a b 1 2 3 4");
    EXPECT_EQ(VTRFormatLocalized("100%% of %@", {"%@"}), "100% of %@");
    EXPECT_EQ(VTRFormatLocalized("%@ and %@", {"one"}), "one and ");
    EXPECT_EQ(VTRFormatLocalized("50% done %q %", {}), "50% done %q %");
    EXPECT_EQ(VTRFormatLocalized("%0$@|%3$@", {"a"}), "%0$@|");
    EXPECT_EQ(VTRLocalizedString::stringForKey("VTRstringOperationTimeout"), "Operation timed out");
    EXPECT_EQ(VTRLocalizedString::stringForKey("VTRstringNoSuchText"), "VTRstringNoSuchText");
}

}  // namespace
}  // namespace vtr
