// The options every program answers alike, run where nothing else is: no CID, no station, no
// display or GPIO file and no database (the test's private namespaces).
#include <regex>

#include "harness.h"

namespace systest {
namespace {

class CommandLineTest : public SystemTest {};

TEST_F(CommandLineTest, EveryProgramAnswersHelpAndVersionWithoutTouchingAnything) {
    UdpPeer cid("127.0.0.1", 5000);
    for (std::string name :
         {"callrelayd", "paneld", "stationtool", "sigstat", "sigcmd", "bsoncat"}) {
        for (const char* option : {"-h", "--help"}) {
            Result help = run({program(name), option});
            EXPECT_EQ(help.status, 0) << name << " " << option << "\n" << help.err;
            EXPECT_NE(help.out.find(name), std::string::npos) << name << " " << option;
            EXPECT_EQ(help.err, "") << name << " " << option;
        }
        Result version = run({program(name), "--version"});
        EXPECT_EQ(version.status, 0) << name << "\n" << version.err;
        EXPECT_TRUE(std::regex_match(version.out, std::regex(name + " [0-9]+\\.[0-9]+\\.[0-9]+\n")))
            << version.out;
        EXPECT_EQ(version.err, "") << name;
    }
    EXPECT_FALSE(cid.receive(0ms)) << "a program asked the CID";
}

TEST_F(CommandLineTest, DaemonsRefuseEveryOtherArgumentWithoutStarting) {
    for (std::string name : {"callrelayd", "paneld"}) {
        std::string usage = run({program(name), "--help"}).out;
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--bogus"}, {"-v"}, {"--help", "extra"}}) {
            std::vector<std::string> argv{program(name)};
            argv.insert(argv.end(), args.begin(), args.end());
            std::string bad = args[0];
            Result result = run(argv);
            EXPECT_EQ(result.status, 2) << name << " " << bad;
            EXPECT_EQ(result.out, "") << name << " " << bad;
            EXPECT_EQ(result.err, usage) << name << " " << bad;  // no start-up line, no error
        }
    }
}

}  // namespace
}  // namespace systest
