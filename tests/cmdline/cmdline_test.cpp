#include "cmdline/cmdline.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fakes.hpp"
#include "support/process.hpp"

namespace halvard::testing {
namespace {

struct Parsed {
    int status;  // -1 when parsing succeeded
    std::string output;
    RunSettings settings;
};

Parsed parse(std::initializer_list<std::string> arguments) {
    CapturedConsole output;
    Args args(arguments);
    CommandLine parsed;
    const int status =
        exitStatusOf([&] { parsed = ParseCmdLine(output.console(), args.argc(), args.argv()); });
    return {status, output.text(), parsed.settings};
}

class InputFile : public ::testing::Test {
  protected:
    std::string file(std::size_t size) {
        return folder.write("image" + std::to_string(size) + ".bin",
                            std::vector<unsigned char>(size, 0x5A));
    }
    TempFolder folder;
};

TEST(ParseNumber, BehavesLikeStrtolOfA32BitLibrary) {
    struct Case {
        const char* text;
        int base;
        std::uint32_t value;
    };
    const std::vector<Case> cases = {
        {"1a", 16, 0x1A},
        {"0x100", 16, 0x100},
        {"0X100", 16, 0x100},
        {"  20", 16, 0x20},
        {"+20", 16, 0x20},
        {"-1", 16, 0xFFFFFFFF},
        {"-2", 16, 0xFFFFFFFE},
        {"12zz", 16, 0x12},
        {"zz", 16, 0},
        {"", 16, 0},
        {"7FFFFFFF", 16, 0x7FFFFFFF},
        {"80000000", 16, 0x7FFFFFFF},
        {"FFFFFFFFFF", 16, 0x7FFFFFFF},
        {"-FFFFFFFF", 16, 0x80000000},
        {"38400", 10, 38400},
        {"abc", 10, 0},
        {"0x10", 10, 0},
        {"-9600", 10, 0xFFFFDA80},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ParseNumber(c.text, c.base), c.value) << '"' << c.text << '"';
}

TEST(UpcaseArgument, ChangesOnlyLettersAToZ) {
    std::string text = "/com=a-z_1\xe4";
    UpcaseArgument(text.data());
    EXPECT_EQ(text, "/COM=A-Z_1\xe4");
}

TEST(ParseCmdLine, NoArgumentPrintsUsageAndEndsWithZero) {
    const Parsed p = parse({"halvard"});
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.output,
              "Usage: Halvard /function [filename] [/option_1] ... [/option_n]\n"
              "Supported functions:\n"
              "\t/P      : Program a Flash Device\n"
              "\t/R      : Read a Flash Device to file\n"
              "\t/V      : Verify a Flash Device with file\n"
              "\n"
              "Supported Options:\n"
              "/OFFSET=\t/O=\t\t/FILE-OFFSET=\t/FO=\n"
              "/DEVICE-BASE=\t/DB=\t\t/LENGTH=\t/L=\n"
              "/ERASEALL\t/NOERASE\t/PLAIN\n"
              "/COM1\t\t/COM2\t\t/COM3\t\t/COM4\n"
              "/COM=\t\t(Default COM=1)\n"
              "/BAUD=\t\t(Default 38400)\n"
              "/SPEED=\t\t(n or MAX, after the start)\n"
              "/8BIT\t\t/16BIT\n"
              "/XC16X\n"
              "/RESET=\t\tDTR-RESET, RTS-RESET, or steps DTR+ DTR- RTS+ RTS- ms (see README)\n"
              "/COM=a,b,...\tthe function on every board at once\n"
              "/SERIAL=\taddr[:first[:step]]\t/SERIAL-FILE=\n"
              "/LOG=\t\tCSV row per board\t--json\n");
}

TEST(RequestOf, OnlyTheExactWordsAskForAnAnswerAndHelpIsTheUsageText) {
    struct Case {
        const char* first;
        Request request;
        int parseStatus;  // what ParseCmdLine makes of it with a file name after it
    };
    const Case cases[] = {
        {"--help", Request::help, 0},    {"-h", Request::help, 0},
        {"/?", Request::help, 0},        {"--version", Request::version, 10},
        {"--ports", Request::ports, 10}, {"--HELP", Request::run, 10},
        {"-H", Request::run, 10},        {"--help=x", Request::run, 10},
        {"/r", Request::run, -1},
    };
    const std::string usage = parse({"halvard"}).output;
    for (const Case& c : cases) {
        Args args({"halvard", c.first, "out.bin"});
        EXPECT_EQ(RequestOf(args.argc(), args.argv()), c.request) << c.first;
        const Parsed p = parse({"halvard", c.first, "out.bin"});
        EXPECT_EQ(p.status, c.parseStatus) << c.first;
        if (c.request == Request::help) {
            EXPECT_EQ(p.output, usage) << c.first;
        }
    }
    Args none({"halvard"});
    EXPECT_EQ(RequestOf(none.argc(), none.argv()), Request::run);
}

TEST(ParseCmdLine, FunctionIsMatchedWholeAndCaseInsensitive) {
    EXPECT_EQ(parse({"h", "/r", "out.bin"}).settings.operation, Operation::read);
    EXPECT_EQ(parse({"h", "/R", "out.bin"}).settings.operation, Operation::read);
    for (const char* bad : {"/PX", "/P2", "P", "/", "/X"}) {
        const Parsed p = parse({"h", bad, "file"});
        EXPECT_EQ(p.status, 10) << bad;
        EXPECT_EQ(p.output, "Error 10: Illegal function\n") << bad;
    }
    const Parsed missing = parse({"h", "/v"});
    EXPECT_EQ(missing.status, 14);
    EXPECT_EQ(missing.output, "Error 14: missing filename\n");
}

TEST(ParseCmdLine, ReadDefaults) {
    const Parsed p = parse({"h", "/R", "Out.Bin"});
    ASSERT_EQ(p.status, -1) << p.output;
    EXPECT_EQ(p.settings.fileName, "Out.Bin");
    EXPECT_EQ(p.settings.flashOffset, 0u);
    EXPECT_EQ(p.settings.length, kLengthToEnd);
    EXPECT_EQ(p.settings.deviceBase, 0x20000u);
    EXPECT_EQ(p.settings.portName, "COM1");
    EXPECT_EQ(p.settings.portIndex, 0u);
    EXPECT_EQ(p.settings.baudRate, 38400);
    EXPECT_FALSE(p.settings.eraseAll || p.settings.noErase || p.settings.only8Bit ||
                 p.settings.only16Bit || p.settings.xc16x);
}

TEST(ParseCmdLine, OptionValues) {
    const Parsed p = parse({"h", "/R", "f", "/offset=1a0", "/L=100", "/fo=3", "/db=40000",
                            "/baud=115200", "/eraseall", "/eraseall", "/16bit", "/xc16x"});
    ASSERT_EQ(p.status, -1) << p.output;
    EXPECT_EQ(p.settings.flashOffset, 0x1A0u);
    EXPECT_EQ(p.settings.length, 0x100u);
    EXPECT_EQ(p.settings.fileOffset, 3u);
    EXPECT_EQ(p.settings.deviceBase, 0x40000u);
    EXPECT_EQ(p.settings.baudRate, 115200);
    EXPECT_TRUE(p.settings.eraseAll);
    EXPECT_TRUE(p.settings.only16Bit);
    EXPECT_TRUE(p.settings.xc16x);

    const Parsed later =
        parse({"h", "/R", "f", "/O=0x100", "/OFFSET=200", "/LENGTH=40", "/L=-1", "/BAUD=abc"});
    EXPECT_EQ(later.settings.flashOffset, 0x200u);
    EXPECT_EQ(later.settings.length, kLengthToEnd);
    EXPECT_EQ(later.settings.baudRate, 0);
}

TEST(ParseCmdLine, PortOptions) {
    EXPECT_EQ(parse({"h", "/R", "f", "/COM=7"}).settings.portName, "COM7");
    EXPECT_EQ(parse({"h", "/R", "f", "/com=a"}).settings.portName, "COMA");
    const Parsed last = parse({"h", "/R", "f", "/COM3", "/COM1"});
    EXPECT_EQ(last.settings.portIndex, 0u);
    EXPECT_EQ(last.settings.portName, "COM1");
    const Parsed third = parse({"h", "/R", "f", "/com3"});
    EXPECT_EQ(third.settings.portIndex, 2u);
    EXPECT_EQ(third.settings.portName, "COM3");

    const Parsed path = parse({"h", "/R", "f", "/com=/dev/ttyUSB0"});
    EXPECT_EQ(path.settings.portName, "/dev/ttyUSB0");
    EXPECT_EQ(path.settings.portDevice, "/dev/ttyUSB0");
    const Parsed back = parse({"h", "/R", "f", "/com=/dev/ttyUSB0", "/COM2"});
    EXPECT_EQ(back.settings.portDevice, "");
    EXPECT_EQ(back.settings.portIndex, 1u);

    const std::string longValue(300, 'x');
    const Parsed huge = parse({"h", "/R", "f", "/COM=" + longValue, "/BAUD=9600"});
    ASSERT_EQ(huge.status, -1);
    EXPECT_EQ(huge.settings.portDevice, longValue);
    EXPECT_EQ(huge.settings.baudRate, 9600);
}

TEST(ParseCmdLine, IllegalOptionsAreEchoedUpperCased) {
    for (const char* bad : {"/eraseallx", "/COM5", "/OFFSETX=4", "/ERASE", "offset=4", "/L"}) {
        const Parsed p = parse({"h", "/R", "f", bad});
        std::string upper = bad;
        UpcaseArgument(upper.data());
        EXPECT_EQ(p.status, 11) << bad;
        EXPECT_EQ(p.output, "ParseCmdLine: " + upper + "\nError 11: Illegal option\n");
    }
}

TEST(ParseCmdLine, ExclusiveOptionsInEitherOrder) {
    for (auto pair : std::vector<std::pair<const char*, const char*>>{{"/ERASEALL", "/NOERASE"},
                                                                      {"/NOERASE", "/ERASEALL"},
                                                                      {"/8BIT", "/16BIT"},
                                                                      {"/16BIT", "/8BIT"}}) {
        const Parsed p = parse({"h", "/R", "f", pair.first, pair.second});
        EXPECT_EQ(p.status, 15) << pair.first << pair.second;
        EXPECT_EQ(p.output, "Error 15: Options exclusive\n");
    }
    EXPECT_EQ(parse({"h", "/R", "f", "/NOERASE", "/NOERASE", "/8BIT", "/8BIT"}).status, -1);
}

TEST(ParseCmdLine, EmptyFileNameIsReportedAfterTheOptions) {
    const Parsed empty = parse({"h", "/R", "", "/O=4"});
    EXPECT_EQ(empty.status, 14);
    EXPECT_EQ(empty.output, "Error 14: missing filename\n");
    const Parsed illegalFirst = parse({"h", "/R", "", "/BAD"});
    EXPECT_EQ(illegalFirst.status, 11);
}

TEST(ParseCmdLine, FileNameIsKeptAsTypedEvenWithSlash) {
    const Parsed p = parse({"h", "/R", "/Tmp/Out.BIN"});
    EXPECT_EQ(p.settings.fileName, "/Tmp/Out.BIN");
    const std::string longName(500, 'n');
    EXPECT_EQ(parse({"h", "/R", longName}).settings.fileName, longName);
}

TEST(ParseCmdLine, OddSizeAndOffsetAreRefusedWithTheirOwnLine) {
    const Parsed size = parse({"h", "/R", "f", "/L=3"});
    EXPECT_EQ(size.status, 12);
    EXPECT_EQ(size.output, "parseCmdLine Error: Size must be Even!!!\n");
    const Parsed offset = parse({"h", "/R", "f", "/O=1"});
    EXPECT_EQ(offset.status, 12);
    EXPECT_EQ(offset.output, "parseCmdLine Error: Offset must be Even!!!\n");
    EXPECT_EQ(parse({"h", "/R", "f", "/L=3", "/O=1"}).output,
              "parseCmdLine Error: Size must be Even!!!\n");
    EXPECT_EQ(parse({"h", "/R", "f", "/FO=1"}).status, -1);
}

TEST_F(InputFile, LengthFollowsTheFile) {
    const std::string f = file(1000);
    EXPECT_EQ(parse({"h", "/P", f}).settings.length, 1000u);
    EXPECT_EQ(parse({"h", "/V", f, "/FO=10"}).settings.length, 1000u - 0x10);
    const Parsed atEnd = parse({"h", "/P", f, "/FO=3E8"});
    EXPECT_EQ(atEnd.status, -1);
    EXPECT_EQ(atEnd.settings.length, 0u);
}

TEST_F(InputFile, FileOffsetBeyondTheEnd) {
    const std::string f = file(1000);
    for (const char* length : {"/L=-1", "/L=10"}) {
        const Parsed p = parse({"h", "/P", f, "/FO=3E9", length});
        EXPECT_EQ(p.status, 18) << length;
        EXPECT_EQ(p.output, "Error 18: Value of option /FILE-OFFSET= out of range\n");
    }
}

TEST_F(InputFile, LengthBeyondTheFileIsCutWithAWarning) {
    const std::string f = file(1000);
    const Parsed plain = parse({"h", "/P", f, "/L=1000"});
    EXPECT_EQ(plain.output, "Warning: Value of option /L= out of range\n");
    EXPECT_EQ(plain.settings.length, 1000u);
    const Parsed withOffset = parse({"h", "/P", f, "/FO=10", "/L=3E0"});
    EXPECT_EQ(withOffset.output, "Warning Value of option /L= plus /FILE-OFFSET= out of range\n");
    EXPECT_EQ(withOffset.settings.length, 0x3D8u);
    const Parsed fits = parse({"h", "/P", f, "/FO=10", "/L=3D8"});
    EXPECT_EQ(fits.output, "");
    EXPECT_EQ(fits.settings.length, 0x3D8u);
}

// A file whose name promises records but that holds none would go to the flash as raw bytes.
TEST_F(InputFile, NameThatPromisesRecordsMustHoldThem) {
    const std::vector<unsigned char> binary(64, 0x5A);
    struct Case {
        const char* name;
        const char* promise;
    };
    for (const Case c :
         {Case{"image.hex", "Intel HEX records"}, Case{"image.IHX", "Intel HEX records"},
          Case{"image.s19", "S-records"}, Case{"image.mot", "S-records"}}) {
        const std::string path = folder.write(c.name, binary);
        const Parsed p = parse({"h", "/P", path});
        EXPECT_EQ(p.status, 13) << c.name;
        EXPECT_EQ(p.output,
                  path + ": the file's name promises " + c.promise + ", but it holds none\n");
    }
    EXPECT_EQ(parse({"h", "/V", folder.write("image.bin", binary)}).status, -1);
}

TEST_F(InputFile, OffsetPlusLengthNeverWrapsAround) {
    const std::string f = file(1000);
    const Parsed p = parse({"h", "/P", f, "/FO=10", "/L=FFFFFFF8"});
    EXPECT_EQ(p.output, "Warning Value of option /L= plus /FILE-OFFSET= out of range\n");
    EXPECT_EQ(p.settings.length, 0x3D8u);
    const Parsed huge = parse({"h", "/P", f, "/L=7FFFFFFE"});
    EXPECT_EQ(huge.settings.length, 1000u);
}

TEST_F(InputFile, MissingEmptyAndOddFiles) {
    const Parsed missing = parse({"h", "/P", folder.file("none.bin")});
    EXPECT_EQ(missing.status, 13);
    EXPECT_EQ(missing.output, "Error 13: Input file not found\n");
    const Parsed empty = parse({"h", "/V", file(0)});
    EXPECT_EQ(empty.status, 13);
    EXPECT_EQ(empty.output, "parseCmdLine Error: Input file has Size 0!!!\n");
    const Parsed odd = parse({"h", "/P", file(1001)});
    EXPECT_EQ(odd.status, 12);
    EXPECT_EQ(odd.output, "parseCmdLine Error: Size must be Even!!!\n");
    EXPECT_EQ(parse({"h", "/R", folder.file("new.bin")}).status, -1);
}

}  // namespace
}  // namespace halvard::testing
