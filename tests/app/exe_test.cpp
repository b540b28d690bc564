// The real executable: what a user sees on the console, and the exit status.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace halvard::testing {
namespace {

const std::string kBanner =
    "\nHALVARD --- Utility\nfor Infineon C16x,C166SV2 and STMicroelectronic ST10,Super10\n"
    "Made by the Halvard developers, free flash tools for C16x boards\n"
    "Version 1.08. Compiled at <date>, portable edition with virtual board\n\n";

ProcessResult halvard(const std::vector<std::string>& args, const std::string& folder = "") {
    ProcessResult result = runProcess(HALVARD_EXE, args, folder);
    result.output = maskBuildDate(result.output);
    return result;
}

TEST(Executable, UsageWithoutArguments) {
    const ProcessResult r = halvard({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.rfind(kBanner + "Usage: Halvard /function", 0), 0u) << r.output;
    EXPECT_NE(r.output.find("/BAUD=\t\t(Default 38400)\n"), std::string::npos);
}

TEST(Executable, HelpAndVersionWhereTheyAreLookedFor) {
    const std::string usage = halvard({}).output;
    for (const char* help : {"--help", "-h", "/?"}) {
        const ProcessResult r = halvard({help});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.output, usage) << help;
    }
    const ProcessResult version = halvard({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output,
              "Version 1.08. Compiled at <date>, portable edition with virtual board\n");
}

// Every port listed is a character device of this machine, named as /COM= takes it.
TEST(Executable, PortsListsTheSerialPortsOfThisMachine) {
    const ProcessResult r = halvard({"--ports"});
    EXPECT_EQ(r.status, 0);
    ASSERT_FALSE(r.output.empty());
    if (r.output == "No serial ports found\n")
        return;
    std::istringstream lines(r.output);
    for (std::string line; std::getline(lines, line);) {
        const std::string device = line.substr(0, line.find(' '));
        struct stat info {};
        EXPECT_EQ(stat(device.c_str(), &info), 0) << line;
        EXPECT_TRUE(S_ISCHR(info.st_mode)) << line;
    }
}

TEST(Executable, CommandLineFailuresEndBeforeAnyPortIsTouched) {
    TempFolder folder;
    const std::string odd = folder.write("odd.bin", std::vector<unsigned char>(7, 1));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {{"/x", "f"}, 10, "Error 10: Illegal function\n"},
        {{"/p"}, 14, "Error 14: missing filename\n"},
        {{"/r", "f", "/bogus"}, 11, "ParseCmdLine: /BOGUS\nError 11: Illegal option\n"},
        {{"/r", "f", "/8bit", "/16bit"}, 15, "Error 15: Options exclusive\n"},
        {{"/p", folder.file("missing.bin")}, 13, "Error 13: Input file not found\n"},
        {{"/v", odd}, 12, "parseCmdLine Error: Size must be Even!!!\n"},
        {{"/r", "f", "/o=3"}, 12, "parseCmdLine Error: Offset must be Even!!!\n"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = halvard(c.args);
        EXPECT_EQ(r.status, c.status) << c.args[0];
        EXPECT_EQ(r.output, kBanner + c.tail);
    }
}

TEST(Executable, MissingPortEndsWithStatus3) {
    TempFolder folder;
    const std::string port = folder.file("no-such-tty");
    const ProcessResult r = halvard({"/r", "out.bin", "/com=" + port}, folder.path());
    EXPECT_EQ(r.status, 3);
    const std::string lines = kBanner + "Port " + port + " used\nError: Unable to open port " +
                              port + "\nHint: " + port +
                              " does not exist on this machine\nHint: serial ports here: ";
    EXPECT_EQ(r.output.substr(0, lines.size()), lines);
}

TEST(Executable, BaudRateZeroIsRefusedByThePortSetUp) {
    TempFolder folder;
    const ProcessResult r = halvard({"/r", "out.bin", "/com=/dev/null", "/baud=0"}, folder.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(
        r.output,
        kBanner +
            "Port /dev/null used\nPortSetup  error: Unable to configure serial port /dev/null\n");
}

}  // namespace
}  // namespace halvard::testing
