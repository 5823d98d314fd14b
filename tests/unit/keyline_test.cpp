// The key-line reader over files written to a temporary root: piece rule,
// last-line rule, text-mode translation and number conversion.
#include <gtest/gtest.h>

#include <string>

#include "machine/keyline.h"
#include "support/reset.h"
#include "support/temp_root.h"

namespace {

class KeyLine : public ::testing::Test {
protected:
    void SetUp() override { ResetLibraryState(); }
    TempRoot root;
};

struct KeyLineCase {
    const char* name;
    std::string text;
    const char* key;
    int32_t result;
    int32_t value;  // when found
};

// Files are named as callers name them, "c:\\name", which the backend maps
// under the root. A full path of the host would not do on Windows, where it
// starts with a drive letter of its own.
std::string DriveName(const std::string& relative)
{
    return "c:\\" + relative;
}

std::string Repeat(char c, size_t n)
{
    return std::string(n, c);
}

TEST_F(KeyLine, FindsValuesByTheRulesOfThePieceReader)
{
    const std::string line100 = "5" + Repeat('a', 78) + "42bb COMPORT " + Repeat('c', 7) + "\n";
    const std::string spanning = "6" + Repeat('a', 73) + " COMPORT " + Repeat('c', 17) + "\n";
    const std::string exact79 = "7 COMPORT " + Repeat('d', 69);
    const KeyLineCase cases[] = {
        {"value, key, remark", "3 COMPORT controller on COM3\n", " COMPORT ", 0, 3},
        {"line ends after the key's blank", "3 COMPORT \n", " COMPORT ", 0, 3},
        {"key followed by line feed", "3 COMPORT\n", " COMPORT ", 1, 0},
        {"tabs instead of blanks", "3\tCOMPORT\tx\n", " COMPORT ", 1, 0},
        {"lower-case key word", "3 comport x\n", " COMPORT ", 1, 0},
        {"number behind the key", " COMPORT 5\n", " COMPORT ", 0, 0},
        {"blanks and minus", "  -12 COMPORT \n", " COMPORT ", 0, -12},
        {"plus sign", "+7 COMPORT \n", " COMPORT ", 0, 7},
        {"other white space before the number", "\t\v\f\r 9 COMPORT \n", " COMPORT ", 0, 9},
        {"first match wins, even a remark", "remark 9 COMPORT \n4 COMPORT \n", " COMPORT ", 0, 0},
        {"order of lines does not matter", "1 X.STEPDIST \n2 COMPORT \n", " COMPORT ", 0, 2},
        {"last line without line feed", "1 A \n3 COMPORT ", " COMPORT ", 1, 0},
        {"last line with line feed", "1 A \n3 COMPORT \n", " COMPORT ", 0, 3},
        {"key in the second piece of a long line", line100, " COMPORT ", 0, 42},
        {"key across the piece boundary", spanning, " COMPORT ", 1, 0},
        {"79 characters then end of file", exact79, " COMPORT ", 0, 7},
        {"79 characters then line feed", exact79 + "\n", " COMPORT ", 0, 7},
        {"empty file", "", " COMPORT ", 1, 0},
        {"0x1A first",
            "\x1A"
            "3 COMPORT \n",
            " COMPORT ", 1, 0},
        {"0x1A ends the file",
            "1 A \n\x1A"
            "2 COMPORT \n",
            " COMPORT ", 1, 0},
        {"0x1A cuts the piece short", "3 COMPORT \x1A\n", " COMPORT ", 1, 0},
        {"CR LF reads as LF", "1 A \r\n3 COMPORT \r\n", " COMPORT ", 0, 3},
        {"lone CR stays", "3\r COMPORT \n", " COMPORT ", 0, 3},
        {"CR before the key's blank", "3 COMPORT\r\n", " COMPORT ", 1, 0},
        {"NUL hides the rest of a piece", std::string("3\0 COMPORT \n", 12), " COMPORT ", 1, 0},
        {"NUL line then key", std::string("\0\n4 COMPORT \n", 13), " COMPORT ", 0, 4},
        {"overflow wraps modulo 2^32", "4294967299 COMPORT \n", " COMPORT ", 0, 3},
        {"2^31 wraps to the minimum", "2147483648 COMPORT \n", " COMPORT ", 0, INT32_MIN},
        {"minimum", "-2147483648 COMPORT \n", " COMPORT ", 0, INT32_MIN},
        {"many digits", "99999999999999999999 COMPORT \n", " COMPORT ", 0, 1661992959},
        {"hex reads as 0", "0x20000 X.FLAGS \n", " X.FLAGS ", 0, 0},
        {"10,000-character line before the key", Repeat('x', 10000) + "\n8 COMPORT \n", " COMPORT ",
            0, 8},
        // The last piece holds 37 nines: 10^37 - 1 wraps to -1.
        {"key at the end of a 10,000-character line", Repeat('9', 9991) + " COMPORT \n",
            " COMPORT ", 0, -1},
    };
    for (const KeyLineCase& c : cases) {
        root.Write("keys.cfg", c.text);
        int32_t value = 777;
        EXPECT_EQ(ReadKeyValue(DriveName("keys.cfg").c_str(), c.key, &value), c.result) << c.name;
        EXPECT_EQ(value, c.result == 0 ? c.value : 777) << c.name;
    }
}

TEST_F(KeyLine, FoundPieceIsLeftInTheBuffer)
{
    root.Write("keys.cfg", "1 A \n5" + Repeat('a', 78) + "42bb COMPORT x\n");
    char buffer[kKeyLineBufferSize];
    ASSERT_EQ(FindKeyLine(DriveName("keys.cfg").c_str(), " COMPORT ", buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "42bb COMPORT x\n");
    // CR LF arrives as a single line feed, and a piece of 78 characters and
    // CR LF stays one piece.
    const std::string line = "5" + Repeat('a', 68) + " COMPORT \r\n";
    root.Write("keys.cfg", line);
    ASSERT_EQ(FindKeyLine(DriveName("keys.cfg").c_str(), " COMPORT ", buffer, sizeof buffer), 0);
    EXPECT_EQ(std::string(buffer), line.substr(0, 78) + "\n");
}

TEST_F(KeyLine, MissingFileAndDirectoryAreNotFound)
{
    int32_t value = 777;
    EXPECT_EQ(ReadKeyValue(DriveName("absent.cfg").c_str(), " COMPORT ", &value), 1);
    EXPECT_EQ(ReadKeyValue(DriveName("qorin").c_str(), " COMPORT ", &value), 1);
    EXPECT_EQ(value, 777);
}

TEST_F(KeyLine, HugeFileIsSearchedToTheEnd)
{
    std::string text;
    for (int i = 0; i < 50000; ++i)
        text += "1 X.STEPDIST \n";
    root.Write("big.mpm", text + "65 COMPORT \n");
    int32_t value = 0;
    EXPECT_EQ(ReadKeyValue(DriveName("big.mpm").c_str(), " COMPORT ", &value), 0);
    EXPECT_EQ(value, 65);
}

TEST_F(KeyLine, DriveLetterPathsMapUnderTheRoot)
{
    root.Write("qorin/qorin.cfg", "4 COMPORT \n");
    root.Write("qv/mpm/K12.mpm", "46 MPM.VER \n");
    int32_t value = 0;
    EXPECT_EQ(ReadKeyValue("c:\\qorin\\qorin.cfg", " COMPORT ", &value), 0);
    EXPECT_EQ(value, 4);
    EXPECT_EQ(ReadKeyValue("c:\\qv\\mpm\\K12.mpm", " MPM.VER ", &value), 0);
    EXPECT_EQ(value, 46);
}

TEST_F(KeyLine, FlagsGiveVelocityUnitsAndAMissingKeyGivesNone)
{
    root.Write("k.mpm", "655360 X.FLAGS \n0 Z.FLAGS \n0x20000 R.FLAGS \n-1 Y.FLAGS \n");
    const std::string file = DriveName("k.mpm");
    EXPECT_EQ(ReadFlagsVunit(file.c_str(), " X.FLAGS "), 16384u);
    EXPECT_EQ(ReadFlagsVunit(file.c_str(), " Z.FLAGS "), 16u);
    EXPECT_EQ(ReadFlagsVunit(file.c_str(), " R.FLAGS "), 16u);
    EXPECT_EQ(ReadFlagsVunit(file.c_str(), " Y.FLAGS "), 524288u);
    EXPECT_EQ(ReadFlagsVunit(file.c_str(), " Q.FLAGS "), 0u);
}

TEST(KeyLineValues, VunitFromFlagsUsesBits16To19)
{
    const struct {
        int32_t flags;
        uint32_t unit;
    } cases[] = {{0, 16}, {0x20000, 64}, {0xF0000, 524288}, {0x1F0000, 524288}, {0xA0000, 16384},
        {0xFFFF, 16}, {-1, 524288}, {INT32_MIN, 16}};
    for (const auto& c : cases)
        EXPECT_EQ(VunitFromFlags(c.flags), c.unit) << std::hex << c.flags;
}

TEST(KeyLineValues, ParseBase36AcceptsEveryCharacter)
{
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {{"1A", 46}, {"", 0}, {"a", 42}, {"Z", 35}, {":", 3}, {".", -2}, {"-", -3},
        {"1.2", 1226}, {"\xFF", -49}, {"ZZZZZZZ", 1054752767}, {nullptr, -1}};
    for (const auto& c : cases)
        EXPECT_EQ(ParseBase36(c.text), c.value) << (c.text ? c.text : "(none)");
}

TEST(KeyLineValues, StepRangeIsInclusive)
{
    const struct {
        int32_t step;
        int32_t out;
    } cases[]
        = {{999, 1}, {1000, 0}, {10000000, 0}, {10000001, 1}, {-1, 1}, {0, 1}, {INT32_MIN, 1}};
    for (const auto& c : cases)
        EXPECT_EQ(StepOutOfRange(c.step), c.out) << c.step;
}

}  // namespace
