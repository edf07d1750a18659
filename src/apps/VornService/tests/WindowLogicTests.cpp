// What the window decides, checked without a window: texts, parsing, enable
// states, layout, the dialogs' decisions and the start-up failures.
#include "DeviceRows.h"
#include "ErrorReport.h"
#include "MainWindowRules.h"
#include "NetworkChoice.h"
#include "RedrawPacing.h"
#include "SerialConfirmation.h"
#include "StartUp.h"
#include "Texts.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using namespace MainWindowRules;

TEST(WindowTexts, IdsAndSerialsAsTheWindowShowsThem) {
    EXPECT_EQ(formatDeviceId(0x0001E240000012ABull), "0001e240:000012ab");
    EXPECT_EQ(formatDeviceId(0), "00000000:00000000");
    EXPECT_EQ(formatDeviceId(~0ull), "ffffffff:ffffffff");
    EXPECT_EQ(formatDeviceId(0x0000000100000000ull), "00000001:00000000");

    EXPECT_EQ(formatSerial(0), "0");
    EXPECT_EQ(formatSerial(12345678u), "12345678");
    EXPECT_EQ(formatSerial(4294967295u), "-1");
    EXPECT_EQ(formatSerial(0x80000000u), "-2147483648");

    EXPECT_EQ(fillSerial(Text::currentSerial, "..."), "Current serial number: ...");
    EXPECT_EQ(formatCurrentSerial(4294967295u), "Current serial number: -1");
    // Only the first placeholder is replaced; a text without one stays as it is.
    EXPECT_EQ(fillSerial("{serial} and {serial}", "7"), "7 and {serial}");
    EXPECT_EQ(fillSerial("no number", "7"), "no number");

    EXPECT_FALSE(isServicedType(9));
    EXPECT_TRUE(isServicedType(10));
    EXPECT_TRUE(isServicedType(13));
    EXPECT_FALSE(isServicedType(14));
    EXPECT_FALSE(isServicedType(7));
}

TEST(WindowTexts, SerialParsedAsPercentD) {
    EXPECT_EQ(parseSerial("1234"), 1234);
    EXPECT_EQ(parseSerial("01234"), 1234);
    EXPECT_EQ(parseSerial("1234abc"), 1234);
    EXPECT_EQ(parseSerial("  \t42"), 42);
    EXPECT_EQ(parseSerial("-5"), -5);
    EXPECT_EQ(parseSerial("+7"), 7);
    EXPECT_EQ(parseSerial("0"), 0);
    EXPECT_EQ(parseSerial("99999999"), 99999999);
    EXPECT_EQ(parseSerial("4294967295"), -1) << "32 bits, as the system's scanf keeps them";
    EXPECT_FALSE(parseSerial(""));
    EXPECT_FALSE(parseSerial("   "));
    EXPECT_FALSE(parseSerial("abc"));
    EXPECT_FALSE(parseSerial("-"));
    EXPECT_FALSE(parseSerial("- 5"));
    EXPECT_FALSE(parseSerial("x12"));
}

TEST(WindowRules, EnableStatesFollowThePanel) {
    EXPECT_EQ(enablesFor(PanelState::created), (ControlEnables{true, false, true}));
    EXPECT_EQ(enablesFor(PanelState::rowSelected), (ControlEnables{true, true, true}));
    EXPECT_EQ(enablesFor(PanelState::noRowSelected), (ControlEnables{true, false, false}));
    EXPECT_EQ(enablesFor(PanelState::writeInProgress), (ControlEnables{false, false, false}));
    EXPECT_EQ(enablesFor(PanelState::writeFinished), (ControlEnables{true, true, true}));

    // LVIS_SELECTED is 0x2; LVIS_FOCUSED (0x1) alone changes nothing.
    EXPECT_EQ(selectionChange(0x0, 0x2), SelectionChange::selected);
    EXPECT_EQ(selectionChange(0x1, 0x3), SelectionChange::selected);
    EXPECT_EQ(selectionChange(0x3, 0x1), SelectionChange::deselected);
    EXPECT_EQ(selectionChange(0x2, 0x2), SelectionChange::none) << "a text update";
    EXPECT_EQ(selectionChange(0x0, 0x1), SelectionChange::none);
    EXPECT_EQ(selectionChange(0x0, 0x0), SelectionChange::none);

    // Only a change of the selected bit (LVIF_STATE is 0x8; LVIF_TEXT 0x1), or
    // of every item at once (item -1), can change whether a row is selected:
    // the many text updates of arriving names leave the panel alone.
    EXPECT_TRUE(selectionMayHaveChanged(4, 0x8, 0x0, 0x2));
    EXPECT_TRUE(selectionMayHaveChanged(4, 0x8 | 0x1, 0x3, 0x1));
    EXPECT_FALSE(selectionMayHaveChanged(4, 0x1, 0x0, 0x0)) << "a text update";
    EXPECT_FALSE(selectionMayHaveChanged(4, 0x1, 0x2, 0x2)) << "a selected row's text";
    EXPECT_FALSE(selectionMayHaveChanged(4, 0x8, 0x0, 0x1)) << "the focus alone";
    EXPECT_FALSE(selectionMayHaveChanged(4, 0x0, 0x0, 0x2)) << "state bits not reported as changed";
    EXPECT_TRUE(selectionMayHaveChanged(-1, 0x8, 0x0, 0x0)) << "every item";
    EXPECT_TRUE(selectionMayHaveChanged(-1, 0x1, 0x0, 0x0));

    EXPECT_TRUE(showsSerialReply(3, 3));
    EXPECT_FALSE(showsSerialReply(3, 2)) << "a reply for a row that is not selected";
    EXPECT_FALSE(showsSerialReply(-1, -1)) << "a reply for a device without a row";
}

// The list's redraws while devices arrive, tick by tick of the window's timer.
TEST(RedrawPacing, DrawsOnceABurstIsOverAndNowAndThenDuringALongOne) {
    RedrawPacing pacing;
    EXPECT_FALSE(pacing.suspended());
    // A burst: only its first row suspends drawing; the timer's first tick
    // finds rows changed since drawing stopped, the next one a pause.
    EXPECT_TRUE(pacing.changed());
    for (int row = 1; row < 500; ++row)
        EXPECT_FALSE(pacing.changed()) << row;
    using Tick = RedrawPacing::Tick;
    EXPECT_TRUE(pacing.suspended());
    EXPECT_EQ(pacing.tick(), Tick::wait);
    EXPECT_EQ(pacing.tick(), Tick::draw) << "a tick without changes before it: the burst is over";
    EXPECT_FALSE(pacing.suspended());

    // Changes between every two ticks: drawn every longestTicks ticks all the same.
    int draws = 0, ticks = 0;
    for (; ticks < 5 * static_cast<int>(RedrawPacing::longestTicks); ++ticks) {
        pacing.changed();
        const Tick tick = pacing.tick();
        EXPECT_NE(tick, Tick::stopTimer);
        if (tick == Tick::draw)
            ++draws;
    }
    EXPECT_EQ(draws, 5);

    // A tick left over from before drawing resumed only stops the timer.
    EXPECT_EQ(pacing.tick(), Tick::stopTimer);
    // Without a timer drawing stays on: every change asks to suspend again.
    EXPECT_TRUE(pacing.changed());
    pacing.resumed();
    EXPECT_FALSE(pacing.suspended());
    EXPECT_TRUE(pacing.changed());
}

TEST(WindowRules, KeysDecideByFocus) {
    // Enter writes from the serial edit and the button, never from the list.
    EXPECT_EQ(enterCommand(Focus::serialEdit), EnterCommand::setSerial);
    EXPECT_EQ(enterCommand(Focus::setButton), EnterCommand::setSerial);
    EXPECT_EQ(enterCommand(Focus::deviceList), EnterCommand::none);
    EXPECT_EQ(enterCommand(Focus::other), EnterCommand::none);
    // Ctrl+C in the edit is the edit's own copy, even with a device selected.
    EXPECT_EQ(copyTarget(Focus::serialEdit, true), CopyTarget::editText);
    EXPECT_EQ(copyTarget(Focus::serialEdit, false), CopyTarget::editText);
    EXPECT_EQ(copyTarget(Focus::deviceList, true), CopyTarget::device);
    EXPECT_EQ(copyTarget(Focus::setButton, true), CopyTarget::device);
    EXPECT_EQ(copyTarget(Focus::deviceList, false), CopyTarget::nothing);
    EXPECT_EQ(copiedDevice("Stage left", "Ondal 4", "0001e240:000012ab"),
              "Stage left\tOndal 4\t0001e240:000012ab");
    EXPECT_EQ(copiedDevice("Unknown", "Ondal 2", "0000000a:0000000b"),
              "Unknown\tOndal 2\t0000000a:0000000b");
}

TEST(WindowRules, LayoutAndResize) {
    // Edit: 13 + 6 + 2 * 2 for a 13-pixel font and 2-pixel edges.
    EXPECT_EQ(editHeight(13, 2), 23);
    EXPECT_EQ(editHeight(16, 2), 28);
    // The button grows by 20 x 4 and is centred on the edit's height.
    const Rect edit{420, 136, 520, 159};
    EXPECT_EQ(setButtonRect(edit, 525, 60, 15), (Rect{525, 138, 605, 157}));
    // Resizing: the list keeps its width, the separator its left, top and
    // height and ends 5 pixels before the right edge.
    EXPECT_EQ(listRectFor(561, 22), (Rect{0, 0, 410, 539})) << "the status bar below";
    EXPECT_EQ(listRectFor(10, 22), (Rect{0, 0, 410, 0})) << "never a negative height";
    const Rect separator{415, 30, 739, 31};
    EXPECT_EQ(separatorRectFor(separator, 1000), (Rect{415, 30, 995, 31}));
    EXPECT_EQ(separatorRectFor(separator, 744), separator);
    EXPECT_EQ(separatorRectFor({830, 60, 1478, 62}, 2000, 192), (Rect{830, 60, 1990, 62}));
}

TEST(WindowRules, LayoutScalesWithTheDpi) {
    EXPECT_EQ(scaled(410, 96), 410);
    EXPECT_EQ(scaled(410, 144), 615);
    EXPECT_EQ(scaled(67, 144), 101) << "halves round up";
    EXPECT_EQ(scaled(410, 192), 820);
    EXPECT_EQ(scaled(5, 120), 6);

    // At 96 dpi the positions the window has always had; at 192 dpi all of
    // them doubled, with a font twice as tall, the 200 % logo and twice the
    // client area (the separator's line is 2 pixels).
    struct Case {
        LayoutInput in;
        Layout expected; // list, current serial, separator, logo, label, edit, button; column
    };
    // clang-format off
    const Case cases[] = {
        {{96, 744, 361, 22, 13, 2, {312, 67}, {60, 15}},
         {{0, 0, 410, 339}, {420, 10, 620, 23}, {415, 30, 739, 31}, {420, 40, 732, 107},
          {420, 120, 520, 133}, {420, 136, 520, 159}, {525, 138, 605, 157}, 130}},
        {{192, 1488, 722, 44, 26, 2, {624, 134}, {120, 30}},
         {{0, 0, 820, 678}, {840, 20, 1240, 46}, {830, 60, 1478, 62}, {840, 80, 1464, 214},
          {840, 240, 1040, 266}, {840, 272, 1040, 319}, {1050, 276, 1210, 314}, 260}}};
    // clang-format on
    for (const auto& [in, expected] : cases) {
        const Layout laidOut = layoutFor(in);
        EXPECT_EQ(laidOut, expected) << in.dpi << " dpi";
        EXPECT_EQ(laidOut.button.width(), scaled(80, in.dpi)) << in.dpi << " dpi";
    }

    EXPECT_EQ(mainWindowSize(96).width, 760);
    EXPECT_EQ(mainWindowSize(144).width, 1140);
    EXPECT_EQ(mainWindowSize(192).height, 800);
    EXPECT_EQ(logoArtPercent(96), 100);
    EXPECT_EQ(logoArtPercent(120), 100) << "never drawn larger than made";
    EXPECT_EQ(logoArtPercent(144), 150);
    EXPECT_EQ(logoArtPercent(191), 150);
    EXPECT_EQ(logoArtPercent(192), 200);
    EXPECT_EQ(logoArtPercent(288), 200);
}

TEST(WindowRules, StatusBarTexts) {
    EXPECT_EQ(deviceCountText(0), "0 devices");
    EXPECT_EQ(deviceCountText(1), "1 device");
    EXPECT_EQ(deviceCountText(10000), "10000 devices");
    EXPECT_EQ(deviceCountText(131072, 52), "131072 devices, 52 not listed");
    EXPECT_EQ(interfaceText("vorn0", "192.0.2.1"), "Interface: vorn0 (192.0.2.1)");
    // Host byte order: the first octet is the most significant.
    EXPECT_EQ(deviceAddressText(0xC0000202u), "Device address: 192.0.2.2");
    EXPECT_EQ(deviceAddressText(0xFFFFFFFFu), "Device address: 255.255.255.255");
    EXPECT_EQ(deviceAddressText(0u), "Device address: 0.0.0.0");
    EXPECT_EQ(deviceAddressText(std::nullopt), "") << "no device selected";
    EXPECT_EQ(statusPartRights(96), (std::array<int, 3>{110, 440, -1}));
    EXPECT_EQ(statusPartRights(192), (std::array<int, 3>{220, 880, -1}));
    EXPECT_EQ(statusPartRights(96, true), (std::array<int, 3>{260, 590, -1}));
}

TEST(WindowRules, SetSerialAndItsConfirmation) {
    // The first entry: a number, else the invalid-format box and no dialog.
    EXPECT_EQ(startSetSerial("0").first, 0);
    EXPECT_FALSE(startSetSerial("0").problem);
    for (const char* bad : {"", "abc", " "}) {
        const auto start = startSetSerial(bad);
        EXPECT_FALSE(start.first) << bad;
        ASSERT_TRUE(start.problem) << bad;
        EXPECT_STREQ(start.problem->text, Text::invalidSerialFormat);
        EXPECT_STREQ(start.problem->caption, "Error");
        EXPECT_EQ(start.problem->icon, iconError);
    }

    // The second entry.
    for (const char* same : {"1234", "01234", "1234abc", " 1234"}) {
        const auto decision = SerialConfirmation::decide(1234, same);
        EXPECT_EQ(decision.confirmed, 1234) << same;
        EXPECT_FALSE(decision.problem) << same;
    }
    auto decision = SerialConfirmation::decide(1234, "1235");
    EXPECT_FALSE(decision.confirmed);
    ASSERT_TRUE(decision.problem);
    EXPECT_STREQ(decision.problem->text, Text::serialMismatch);
    EXPECT_STREQ(decision.problem->caption, "ERROR");
    decision = SerialConfirmation::decide(1234, "");
    ASSERT_TRUE(decision.problem);
    EXPECT_STREQ(decision.problem->text, Text::invalidSerialFormat);
    EXPECT_STREQ(decision.problem->caption, "Error");

    // The write's outcome.
    EXPECT_STREQ(writeOutcome(true).caption, "Success");
    EXPECT_EQ(writeOutcome(true).icon, iconInformation);
    EXPECT_STREQ(writeOutcome(false).text, Text::serialSetFailed);
    EXPECT_EQ(writeOutcome(false).icon, iconError);
}

DeviceRows::Row row(std::uint64_t id, std::string name = "Unknown",
                    std::string product = "Ondal 2") {
    return {id, std::move(name), std::move(product), formatDeviceId(id), id * 100};
}

// Adds rows the way the window does: each at the place the rows give it.
void add(DeviceRows& rows, DeviceRows::Row shown) {
    const int place = rows.placeFor(shown);
    rows.inserted(place, std::move(shown));
}

std::vector<std::uint64_t> ids(const DeviceRows& rows) {
    std::vector<std::uint64_t> shown;
    for (int index = 0; index < rows.count(); ++index)
        shown.push_back(rows.at(index));
    return shown;
}

using Ids = std::vector<std::uint64_t>;

TEST(DeviceRows, FoundByIdAcrossInsertsAndDeletes) {
    DeviceRows rows;
    EXPECT_EQ(rows.find(1), -1);
    for (std::uint64_t id = 1; id <= 5; ++id)
        add(rows, row(id * 10));
    EXPECT_EQ(rows.find(30), 2);
    rows.erased(1); // 20 goes: every later row moves up
    EXPECT_EQ(rows.find(20), -1);
    EXPECT_EQ(rows.find(30), 1);
    EXPECT_EQ(rows.find(50), 3);
    // A device that came back before its old row went: the first row wins.
    add(rows, row(30));
    EXPECT_EQ(rows.find(30), 1);
    rows.erased(1);
    EXPECT_EQ(rows.find(30), 3);
    EXPECT_EQ(rows.at(0), 10u);
}

TEST(DeviceRows, ArrivalOrderUntilAColumnIsClicked) {
    DeviceRows rows;
    add(rows, row(3, "Stage"));
    add(rows, row(1, "amp"));
    add(rows, row(2, "Booth"));
    EXPECT_EQ(ids(rows), (Ids{3, 1, 2}));
    EXPECT_FALSE(rows.renamed(0, "Aardvark")) << "unsorted: nothing moves";
    EXPECT_EQ(rows.sort(), (DeviceRows::Sort{-1, true}));

    // Name, ascending, case folded; again: descending.
    rows.sortBy(DeviceRows::name);
    auto tags = rows.resort();
    EXPECT_EQ(ids(rows), (Ids{3, 1, 2})) << "Aardvark, amp, Booth";
    EXPECT_EQ(tags, (std::vector<std::uintptr_t>{300, 100, 200}))
        << "the list items' data, in order";
    rows.sortBy(DeviceRows::name);
    rows.resort();
    EXPECT_EQ(rows.sort(), (DeviceRows::Sort{DeviceRows::name, false}));
    EXPECT_EQ(ids(rows), (Ids{2, 1, 3}));

    // Another column: ascending again. ID text sorts as the number does.
    rows.sortBy(DeviceRows::idColumn);
    rows.resort();
    EXPECT_EQ(rows.sort(), (DeviceRows::Sort{DeviceRows::idColumn, true}));
    add(rows, row(0x100000000ull));
    add(rows, row(0xFull));
    EXPECT_EQ(ids(rows), (Ids{1, 2, 3, 0xF, 0x100000000ull})) << "new rows go to their place";
}

TEST(DeviceRows, EqualCellsKeepArrivalOrderAndRenamesAskForAResort) {
    DeviceRows rows;
    rows.sortBy(DeviceRows::product);
    add(rows, row(1, "a", "Ondal 4"));
    add(rows, row(2, "b", "Ondal 2"));
    add(rows, row(3, "c", "Ondal 4"));
    add(rows, row(4, "d", "Ondal 2"));
    EXPECT_EQ(ids(rows), (Ids{2, 4, 1, 3})) << "equal products in arrival order";
    rows.sortBy(DeviceRows::product); // descending: equal ones still in arrival order
    rows.resort();
    EXPECT_EQ(ids(rows), (Ids{1, 3, 2, 4}));
    EXPECT_FALSE(rows.renamed(0, "zzz")) << "sorted by product: a name moves nothing";

    // Sorted by name: "Unknown" rows until their names arrive.
    DeviceRows named;
    named.sortBy(DeviceRows::name);
    add(named, row(1));
    add(named, row(2));
    add(named, row(3));
    EXPECT_EQ(ids(named), (Ids{1, 2, 3}));
    EXPECT_TRUE(named.renamed(named.find(3), "Amp")) << "out of place: Amp before Unknown";
    EXPECT_TRUE(named.renamed(named.find(2), "Zone")) << "Zone after the Unknown row 1";
    named.resort();
    EXPECT_EQ(ids(named), (Ids{3, 1, 2}));
    EXPECT_FALSE(named.renamed(named.find(1), "Booth")) << "between Amp and Zone: in place";
    // A new row while sorted goes between its neighbours.
    add(named, row(9, "Cable"));
    EXPECT_EQ(ids(named), (Ids{3, 1, 9, 2}));
    EXPECT_EQ(named.find(9), 2);
}

Network::AdapterEntry adapter(std::string description, std::string address) {
    Network::AdapterEntry entry;
    entry.description = std::move(description);
    entry.hardwareAddress = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    entry.addresses.push_back({std::move(address), "255.255.255.0"});
    return entry;
}

TEST(NetworkChoices, FieldsCutAndTerminated) {
    const NetworkChoices read =
        readNetworkChoices([](std::vector<Network::AdapterEntry>& adapters) {
            adapters.push_back(adapter(std::string(300, 'd'), "192.168.1.10"));
            adapters.push_back(adapter("Second", std::string(40, '1')));
            return Network::Enumerator::QueryResult::ok;
        });
    EXPECT_FALSE(read.failure);
    ASSERT_EQ(read.choices.size(), 2u);
    EXPECT_EQ(std::strlen(read.choices[0].description), 259u);
    EXPECT_STREQ(read.choices[0].ipAddress, "192.168.1.10");
    EXPECT_STREQ(read.choices[0].macAddress, "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(std::strlen(read.choices[1].ipAddress), 31u);

    // Two adapters, the second chosen: its address; outside the list: none.
    EXPECT_EQ(chosenAddress(read.choices, 1), std::string(31, '1'));
    EXPECT_EQ(chosenAddress(read.choices, 0), "192.168.1.10");
    EXPECT_FALSE(chosenAddress(read.choices, -1));
    EXPECT_FALSE(chosenAddress(read.choices, 2));
    EXPECT_FALSE(chosenAddress({}, 0));

    EXPECT_EQ(macColumnWidth(700), 280);
}

TEST(NetworkChoices, FailedEnumerationGivesItsMessageAndNoRows) {
    for (auto failure : {Network::Enumerator::QueryResult::sizeFailed,
                         Network::Enumerator::QueryResult::listFailed}) {
        const NetworkChoices read =
            readNetworkChoices([failure](std::vector<Network::AdapterEntry>& adapters) {
                adapters.push_back(adapter("Half read", "10.0.0.1"));
                return failure;
            });
        EXPECT_TRUE(read.choices.empty());
        ASSERT_TRUE(read.failure);
        EXPECT_FALSE(read.failure->empty());
    }
}

TEST(StartUp, FailuresBecomeTheirBoxTexts) {
    const auto noRegistration = [](VornService&) {};
    auto result = StartUp::startController(std::nullopt, noRegistration);
    EXPECT_FALSE(result.controller);
    EXPECT_EQ(result.failure, Text::invalidInterface);

    // Whatever fails while the controller starts is caught, in this order.
    result = StartUp::startController("127.0.0.1", [](VornService&) {
        throw Network::AddressInUseException("src/Server", 1, "bind: address in use");
    });
    EXPECT_FALSE(result.controller);
    EXPECT_EQ(result.failure, Text::addressInUse);
    result = StartUp::startController("127.0.0.1", [](VornService&) {
        throw Network::FailedToEnumerateNetworkException("src/Enumerator", 2, "No adapters");
    });
    EXPECT_EQ(result.failure, "No adapters") << "the message, not source or line";
    // An address the endpoint cannot use.
    result = StartUp::startController("256.1.1.1", noRegistration);
    EXPECT_FALSE(result.controller);
    ASSERT_TRUE(result.failure);
    EXPECT_FALSE(result.failure->empty());
}

std::string describe(const std::function<void()>& thrower) {
    try {
        thrower();
    } catch (...) {
        return ErrorReport::describeCurrentException();
    }
    return "nothing thrown";
}

TEST(ErrorReport, EveryExceptionHasAText) {
    EXPECT_EQ(describe([] { throw Vorn::UnknownFrameIdException("src/FrameList", 7, "gone"); }),
              "gone")
        << "the message, not source or line";
    EXPECT_EQ(describe([] { throw std::runtime_error("list broke"); }), "list broke");
    const std::system_error noThread(
        std::make_error_code(std::errc::resource_unavailable_try_again), "thread");
    EXPECT_EQ(describe([&] { throw noThread; }), noThread.what());
    EXPECT_EQ(describe([] { throw 42; }), Text::unexpectedError);
    EXPECT_EQ(describe([] { throw std::runtime_error(""); }), Text::unexpectedError)
        << "an empty text would be an empty box";
    EXPECT_EQ(describe([] { throw Exception("src/X", 1, ""); }), Text::unexpectedError);
}

TEST(StartUp, SystemFailuresShowTheirTextToo) {
    // No thread for the engine: the start fails with the system's text, not
    // silently and not with an exception out of the window procedure.
    const std::system_error noThread(
        std::make_error_code(std::errc::resource_unavailable_try_again), "thread");
    auto result = StartUp::startController("127.0.0.1", [&](VornService&) { throw noThread; });
    EXPECT_FALSE(result.controller);
    EXPECT_EQ(result.failure, std::string(noThread.what()));
    result = StartUp::startController("127.0.0.1", [](VornService&) { throw 1; });
    EXPECT_FALSE(result.controller);
    EXPECT_EQ(result.failure, Text::unexpectedError);
}

TEST(StartUp, HandlersAreInPlaceBeforeTheEngineRuns) {
    bool registeredBeforeStart = false;
    const auto result = StartUp::startController("127.0.0.1", [&](VornService& controller) {
        registeredBeforeStart = !controller.started();
        controller.deviceAddedHandlers.push_back([](std::uint64_t) {});
    });
    ASSERT_FALSE(result.failure) << "the engine did not start: " << *result.failure;
    ASSERT_TRUE(result.controller);
    EXPECT_TRUE(registeredBeforeStart);
    EXPECT_TRUE(result.controller->started());
    EXPECT_EQ(result.controller->deviceAddedHandlers.size(), 1u);
}

} // namespace
