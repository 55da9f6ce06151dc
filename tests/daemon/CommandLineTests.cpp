// The daemon's command-line rules and where the per-user data directory lies.
#include <gtest/gtest.h>

#include <map>

#include "daemon/VTRApplicationSupport.h"
#include "daemon/VTRCommandLine.h"

namespace vtr {
namespace {

TEST(CommandLine, OptionsMatchWholeArgumentsExactlyAnywhere) {
    VTRCommandLine line({"/usr/sbin/vantrel-uploadd", "-o", "--h", "-H", "x-h", "-lverbose"});
    EXPECT_TRUE(line.contains("-o"));
    EXPECT_FALSE(line.contains("-h"));
    EXPECT_FALSE(line.contains("-l"));
    EXPECT_TRUE(VTRCommandLine({"-h"}).contains("-h")) << "the program path is searched too";
    EXPECT_TRUE(VTRCommandLine({"prog", "-l", "-h"}).contains("-h"));
}

TEST(CommandLine, AValueIsTheArgumentAfterTheFirstOccurrence) {
    VTRCommandLine line({"prog", "-p", "/tmp/a", "-l", "info", "-p", "/tmp/b", "-l"});
    EXPECT_EQ(line.valueFor("-p"), "/tmp/a");
    EXPECT_EQ(line.valueFor("-l"), "info");
    EXPECT_EQ(VTRCommandLine({"prog", "-l", "-o"}).valueFor("-l"), "-o");
    EXPECT_EQ(VTRCommandLine({"prog", "-p"}).valueFor("-p"), std::nullopt);
    EXPECT_EQ(VTRCommandLine({"prog"}).valueFor("-p"), std::nullopt);
}

TEST(CommandLine, ResolvedPathIsTheUnchangedValueOfP) {
    EXPECT_EQ(resolvedPath({"prog", "-p", "some//dir/../x/"}), "some//dir/../x/");
    EXPECT_EQ(resolvedPath({"prog", "-o", "-p"}), std::nullopt);
    EXPECT_EQ(resolvedPath({"prog"}), std::nullopt);
}

TEST(CommandLine, ProcessNameIsTheExecutablesFileName) {
    EXPECT_EQ(VTRCommandLine({"/usr/local/sbin/vantrel-uploadd", "-o"}).processName(),
              "vantrel-uploadd");
    EXPECT_EQ(VTRCommandLine({"vantrel-uploadd"}).processName(), "vantrel-uploadd");
}

TEST(ApplicationSupport, PrefersXdgDataHomeThenHomeThenThePasswordDatabase) {
    auto environment = [](std::map<std::string, std::string> variables) {
        return [variables = std::move(variables)](const char* name) -> const char* {
            auto found = variables.find(name);
            return found == variables.end() ? nullptr : found->second.c_str();
        };
    };
    EXPECT_EQ(
        applicationSupportDirectory(environment({{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/u"}})),
        "/data");
    EXPECT_EQ(applicationSupportDirectory(environment({{"HOME", "/home/u/"}})),
              "/home/u/.local/share");
    // An empty or relative XDG_DATA_HOME is not a usable location.
    EXPECT_EQ(
        applicationSupportDirectory(environment({{"XDG_DATA_HOME", ""}, {"HOME", "/home/u"}})),
        "/home/u/.local/share");
    EXPECT_EQ(applicationSupportDirectory(
                  environment({{"XDG_DATA_HOME", "rel/data"}, {"HOME", "/home/u"}})),
              "/home/u/.local/share");
    std::optional<std::string> fromDatabase = applicationSupportDirectory(environment({}));
    ASSERT_TRUE(fromDatabase.has_value());
    EXPECT_TRUE(fromDatabase->ends_with("/.local/share")) << *fromDatabase;
    EXPECT_EQ(fromDatabase->front(), '/');
}

}  // namespace
}  // namespace vtr
