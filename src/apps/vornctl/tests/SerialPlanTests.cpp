#include "SerialPlan.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Vornctl::parseSerialPlan;

std::string errorsOf(const std::string& text) {
    return Vornctl::formatPlanErrors(parseSerialPlan(text).errors);
}

TEST(VornctlSerialPlan, ReadsDevicesWithHeaderCommentsQuotesAndLineEnds) {
    const auto plan = parseSerialPlan("# rack 3, programmed 2026-12-07\r\n"
                                      "ID,SERIAL\r\n"
                                      "\r\n"
                                      "0001e240:000012ab,12345678   # left amp\r\n"
                                      "  \"0000000A:0000000B\" ; \"0042\"\n"
                                      "00000001:00000002,4294967295,,\n"
                                      "00000001:00000003,0");
    ASSERT_TRUE(plan.errors.empty()) << Vornctl::formatPlanErrors(plan.errors);
    ASSERT_EQ(plan.entries.size(), 4u);
    EXPECT_EQ(plan.entries[0].line, 4u);
    EXPECT_EQ(plan.entries[0].id, 0x0001E240000012ABull);
    EXPECT_EQ(plan.entries[0].serial, 12345678u);
    EXPECT_EQ(plan.entries[1].line, 5u);
    EXPECT_EQ(plan.entries[1].id, 0x0000000A0000000Bull);
    EXPECT_EQ(plan.entries[1].serial, 42u);
    EXPECT_EQ(plan.entries[2].serial, 4294967295u);
    EXPECT_EQ(plan.entries[3].line, 7u);
    EXPECT_EQ(plan.entries[3].serial, 0u);

    // Leading zeros beyond ten digits still name a number in range.
    EXPECT_EQ(parseSerialPlan("00000001:00000002,000000000007").entries.at(0).serial, 7u);
    // Other header spellings.
    EXPECT_TRUE(parseSerialPlan("Device ID;Serial number\n00000001:00000002;1").errors.empty());
}

// What a spreadsheet saves as "CSV UTF-8": a byte-order mark before the header
// (or before the first device, when there is no header). Only at the start.
TEST(VornctlSerialPlan, AByteOrderMarkAtTheStartIsSkipped) {
    const std::string mark = "\xEF\xBB\xBF";
    auto plan = parseSerialPlan(mark + "ID,SERIAL\r\n0001e240:000012ab,7\r\n");
    ASSERT_TRUE(plan.errors.empty()) << Vornctl::formatPlanErrors(plan.errors);
    ASSERT_EQ(plan.entries.size(), 1u);
    EXPECT_EQ(plan.entries[0].line, 2u);
    EXPECT_EQ(plan.entries[0].serial, 7u);
    plan = parseSerialPlan(mark + "0001e240:000012ab,8\n");
    ASSERT_TRUE(plan.errors.empty()) << Vornctl::formatPlanErrors(plan.errors);
    EXPECT_EQ(plan.entries.at(0).id, 0x0001E240000012ABull);
    // Elsewhere it is a character like any other: the line is refused.
    EXPECT_FALSE(
        parseSerialPlan("0001e240:000012ab,8\n" + mark + "00000001:00000002,9\n").errors.empty());
}

TEST(VornctlSerialPlan, EveryBadLineIsReportedWithItsNumber) {
    EXPECT_EQ(errorsOf("ID,SERIAL\n"
                       "0001e240:000012ab,1\n"
                       "1e240:12ab,2\n"         // short ID
                       "0001e240000012ab,3\n"   // no colon: not taken for a header
                       "00000001:00000002,-4\n" // sign
                       "00000001:00000003,4294967296\n"
                       "00000001:00000004,12x\n"
                       "0001E240:000012AB,5\n"     // the device of line 2 again
                       "00000001:00000005\n"       // no number
                       "00000001:00000006,6,7\n"), // a third field
              "line 3: invalid device ID \"1e240:12ab\": expected 8 hex digits, a colon and 8 "
              "hex digits, as in 0001e240:000012ab\n"
              "line 4: invalid device ID \"0001e240000012ab\": expected 8 hex digits, a colon "
              "and 8 hex digits, as in 0001e240:000012ab\n"
              "line 5: invalid serial number \"-4\": expected an unsigned decimal number (0 to "
              "4294967295)\n"
              "line 6: serial number 4294967296 is out of range (0 to 4294967295)\n"
              "line 7: invalid serial number \"12x\": expected an unsigned decimal number (0 to "
              "4294967295)\n"
              "line 8: device 0001e240:000012ab is already listed on line 2\n"
              "line 9: expected ID,SERIAL but found 1 field\n"
              "line 10: expected ID,SERIAL but found 3 fields\n");

    // Both fields of one line bad: both reported.
    EXPECT_EQ(parseSerialPlan("zz,yy1").errors.size(), 2u);
    // A header is only ever the first line with content.
    EXPECT_EQ(errorsOf("00000001:00000002,1\nID,SERIAL\n"),
              "line 2: invalid device ID \"ID\": expected 8 hex digits, a colon and 8 hex "
              "digits, as in 0001e240:000012ab\n"
              "line 2: invalid serial number \"SERIAL\": expected an unsigned decimal number (0 "
              "to 4294967295)\n");
}

TEST(VornctlSerialPlan, AFileWithoutDevicesIsAnError) {
    for (const char* text : {"", "\n\n", "# nothing yet\n", "ID,SERIAL\n# none\n"}) {
        const auto plan = parseSerialPlan(text);
        EXPECT_TRUE(plan.entries.empty());
        EXPECT_EQ(Vornctl::formatPlanErrors(plan.errors), "the file lists no device\n") << text;
    }
    // A file of bad lines only reports those lines, not an empty plan as well.
    EXPECT_EQ(errorsOf("ID,SERIAL\nbad,1\n"),
              "line 2: invalid device ID \"bad\": expected 8 hex digits, a colon and 8 hex "
              "digits, as in 0001e240:000012ab\n");
}

} // namespace

namespace {

TEST(VornctlSerialPlan, OneNumberForTwoDevicesIsABadLineUnlessAllowed) {
    const std::string text = "00000001:00000001,500\n"
                             "00000001:00000002,501\n"
                             "00000001:00000003,0500\n" // the same number, written otherwise
                             "00000001:00000004,501\n";
    EXPECT_EQ(errorsOf(text), "line 3: serial number 500 is given to 00000001:00000001 on line 1 "
                              "already (--allow-duplicate writes it anyway)\n"
                              "line 4: serial number 501 is given to 00000001:00000002 on line 2 "
                              "already (--allow-duplicate writes it anyway)\n");
    const auto allowed = Vornctl::parseSerialPlan(text, true);
    EXPECT_TRUE(allowed.errors.empty());
    EXPECT_EQ(allowed.entries.size(), 4u);
}

} // namespace
