// The window's serial writes in the journal and its device list exported,
// driven as a user drives them, against simulated devices on the test
// network; the program runs on a thread of this process.
#include "WindowTestSupport.h"

#include "JournalEntries.h"
#include "JournalFile.h"
#include "TemporaryFolder.h"
#include "Texts.h"

#include <fstream>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using namespace WindowTest;

constexpr std::uint64_t stageLeft = 0x0001E240000012ABull;
constexpr std::uint64_t frontOfHouse = 0x0000000A0000000Bull;
constexpr std::uint16_t setBoardId = 813;

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The window with its journal (and export file) in a folder of the test's own.
class WindowJournal : public ::testing::Test {
protected:
    void start(const std::filesystem::path& journal) {
        VORN_REQUIRE_TEST_NAMESPACE();
        simulator = simulate({device(stageLeft, 12, "Stage, \"left\"", 4294967295u),
                              device(frontOfHouse, 10, "=Front", 77)});
        program = std::make_unique<ProgramThread>([this, journal](MainWindow& window) {
            window.setJournal(journal);
            window.setExportChooser([this](HWND) { return exportFile; });
        });
        ASSERT_NO_FATAL_FAILURE(chooseNetwork(self, toolAddress));
        main = mainWindow(self);
        ASSERT_NE(main, nullptr);
        list = std::make_unique<UiDriver::List>(GetDlgItem(main, IDC_DEVICE_LIST));
        ASSERT_TRUE(TestSupport::waitUntil(
            [&] {
                return list->rowCount() == 2 && list->find(0, "=Front") >= 0 &&
                       list->find(0, "Stage, \"left\"") >= 0;
            },
            15s))
            << "the two devices are listed with their names";
    }

    // Selects the device's row and writes `serial` through the panel.
    void write(std::uint64_t id, const std::string& serial, const std::string& shownBefore) {
        list->select(list->find(2, formatDeviceId(id)));
        expectCurrentSerial(main, "Current serial number: " + shownBefore);
        UiDriver::type(GetDlgItem(main, IDC_SERIAL_EDIT), serial);
        UiDriver::click(main, IDC_SET_SERIAL);
        const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Confirm serial number", 10s);
        ASSERT_NE(dialog, nullptr);
        UiDriver::type(GetDlgItem(dialog, IDC_CONFIRM_EDIT), serial);
        UiDriver::click(dialog, IDOK);
    }

    Journal::JournalReading reading() const {
        return Journal::readEntries(Journal::JournalFile::read(folder.path() / "journal.jsonl"));
    }

    TestSupport::TemporaryFolder folder;
    std::filesystem::path exportFile = folder.path() / "devices.csv";
    const DWORD self = ProgramThread::processId();
    std::unique_ptr<VornSim::DeviceSimulator> simulator;
    std::unique_ptr<ProgramThread> program;
    HWND main = nullptr;
    std::unique_ptr<UiDriver::List> list;
};

TEST_F(WindowJournal, WritesAreRecordedWithTheirOutcome) {
    ASSERT_NO_FATAL_FAILURE(start(folder.path() / "journal.jsonl"));
    ASSERT_NO_FATAL_FAILURE(write(stageLeft, "1234", "-1"));
    acknowledgeBox(self, "Success", Text::serialChanged);
    expectCurrentSerial(main, "Current serial number: 1234");

    simulator->updateDeviceFaults(frontOfHouse, [](VornSim::Faults& f) { f.refuseWrites = true; });
    ASSERT_NO_FATAL_FAILURE(write(frontOfHouse, "5", "77"));
    acknowledgeBox(self, "Error", Text::serialSetFailed);
    expectCurrentSerial(main, "Current serial number: 77");

    // The outcome follows the read-back, on the window thread.
    ASSERT_TRUE(TestSupport::waitUntil(
        [&] {
            const auto r = reading();
            return r.entries.size() == 2 && r.entries[1].outcome;
        },
        10s));
    const auto r = reading();
    EXPECT_TRUE(r.skipped.empty());
    const auto& first = r.entries[0];
    EXPECT_EQ(first.intent.device.id, "0001e240:000012ab");
    EXPECT_EQ(first.intent.device.name, "Stage, \"left\"");
    EXPECT_EQ(first.intent.device.product, "Ondal 4");
    EXPECT_EQ(first.intent.device.address, deviceAddress);
    EXPECT_EQ(first.intent.interfaceAddress, toolAddress);
    EXPECT_EQ(first.intent.tool.rfind("VornService ", 0), 0u) << first.intent.tool;
    EXPECT_EQ(first.intent.old, 4294967295u);
    EXPECT_EQ(first.intent.target, 1234u);
    ASSERT_TRUE(first.outcome);
    EXPECT_EQ(first.outcome->result, Journal::WriteResult::Verified);
    EXPECT_TRUE(first.outcome->acknowledged);
    EXPECT_EQ(first.outcome->readBack, 1234u);
    const auto& second = r.entries[1];
    EXPECT_EQ(second.intent.old, 77u);
    EXPECT_EQ(second.outcome->result, Journal::WriteResult::Refused);
    EXPECT_EQ(second.outcome->readBack, 77u);

    // Help > Journal names the file.
    PostMessageA(main, WM_COMMAND, IDM_JOURNAL, 0);
    const auto box = UiDriver::waitForMessageBox(self, 10s);
    ASSERT_TRUE(box);
    EXPECT_NE(box->text.find(Journal::displayPath(folder.path() / "journal.jsonl")),
              std::string::npos)
        << box->text;
    UiDriver::click(box->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(box->window, 10s));
}

// Answers the question a number another device holds brings up.
void answerDuplicateQuestion(DWORD self, int button) {
    const auto box = UiDriver::waitForMessageBox(self, 10s);
    ASSERT_TRUE(box) << "no question";
    EXPECT_EQ(box->caption, "Serial number in use");
    EXPECT_EQ(box->text, "Serial number 77 is already held by =Front (0000000a:0000000b).\n\n"
                         "Write it to this device anyway?");
    UiDriver::click(box->window, button);
    ASSERT_TRUE(UiDriver::waitGone(box->window, 10s));
}

TEST_F(WindowJournal, NumberAnotherDeviceHoldsAsksFirstNoSendsNothingYesWrites) {
    ASSERT_NO_FATAL_FAILURE(start(folder.path() / "journal.jsonl"));
    ASSERT_NO_FATAL_FAILURE(write(stageLeft, "77", "-1"));
    ASSERT_NO_FATAL_FAILURE(answerDuplicateQuestion(self, IDNO));
    expectCurrentSerial(main, "Current serial number: -1");
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main, IDC_SET_SERIAL))) << "back to the window";
    EXPECT_EQ(requestsOf(*simulator, stageLeft, setBoardId), 0u);
    EXPECT_TRUE(reading().entries.empty());

    ASSERT_NO_FATAL_FAILURE(write(stageLeft, "77", "-1"));
    ASSERT_NO_FATAL_FAILURE(answerDuplicateQuestion(self, IDYES));
    acknowledgeBox(self, "Success", Text::serialChanged);
    expectCurrentSerial(main, "Current serial number: 77");
    EXPECT_EQ(simulator->device(stageLeft)->setup.serial, 77u);
    const auto r = reading();
    ASSERT_EQ(r.entries.size(), 1u);
    ASSERT_TRUE(r.entries[0].outcome);
    EXPECT_EQ(r.entries[0].outcome->result, Journal::WriteResult::Verified);

    // Device > History... lists it.
    PostMessageA(main, WM_COMMAND, IDM_HISTORY, 0);
    const auto history = UiDriver::waitForMessageBox(self, 10s);
    ASSERT_TRUE(history);
    EXPECT_EQ(history->caption, "History");
    EXPECT_NE(history->text.find("Serial numbers written to Stage, \"left\" (0001e240:000012ab), "
                                 "newest first:\n\n"),
              std::string::npos)
        << history->text;
    EXPECT_NE(history->text.find(" UTC   4294967295 -> 77   verified   VornService "),
              std::string::npos)
        << history->text;
    UiDriver::click(history->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(history->window, 10s));
}

TEST_F(WindowJournal, DeviceLeavingDuringTheWriteHasItsOutcomeRecorded) {
    ASSERT_NO_FATAL_FAILURE(start(folder.path() / "journal.jsonl"));
    simulator->updateDeviceFaults(frontOfHouse, [](VornSim::Faults& f) { f.delayMs = 400; });
    ASSERT_NO_FATAL_FAILURE(write(frontOfHouse, "5", "77"));
    // Gone once the intent is recorded: the write is on its way.
    ASSERT_TRUE(TestSupport::waitUntil([&] { return reading().entries.size() == 1; }, 10s));
    simulator->updateDeviceFaults(frontOfHouse, [](VornSim::Faults& f) { f.gone = true; });
    const auto box = UiDriver::waitForMessageBox(self, 40s);
    ASSERT_TRUE(box) << "the write ends";
    EXPECT_EQ(box->text, Text::serialSetFailed);
    UiDriver::click(box->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(box->window, 10s));
    const auto r = reading();
    ASSERT_EQ(r.entries.size(), 1u);
    ASSERT_TRUE(r.entries[0].outcome) << "not left as interrupted";
    EXPECT_EQ(r.entries[0].outcome->result, Journal::WriteResult::NoAnswer);
    EXPECT_EQ(simulator->device(frontOfHouse)->setup.serial, 77u);
}

TEST_F(WindowJournal, OutcomeTheJournalCannotRecordIsAnErrorNeverASuccess) {
    const auto journal = folder.path() / "journal.jsonl";
    ASSERT_NO_FATAL_FAILURE(start(journal));
    // Replies come late, so that the journal can be taken away between the
    // intent and the outcome: moved, with a folder of its name in its place.
    simulator->updateDeviceFaults(stageLeft, [](VornSim::Faults& f) { f.delayMs = 1000; });
    ASSERT_NO_FATAL_FAILURE(write(stageLeft, "1234", "-1"));
    ASSERT_TRUE(TestSupport::waitUntil([&] { return reading().entries.size() == 1; }, 10s));
    std::filesystem::rename(journal, folder.path() / "moved.jsonl");
    std::filesystem::create_directory(journal);
    EXPECT_TRUE(TestSupport::waitUntil(
        [&] { return requestsOf(*simulator, stageLeft, setBoardId) == 1; }, 10s))
        << "the write goes out after the intent";

    const auto box = UiDriver::waitForMessageBox(self, 20s);
    ASSERT_TRUE(box) << "the write ends";
    EXPECT_EQ(box->caption, "Error");
    EXPECT_NE(box->text.find("the outcome of the write to 0001e240:000012ab (verified) is not "
                             "recorded."),
              std::string::npos)
        << box->text;
    const std::string said = std::string("\n\n") + Text::serialWrittenNotRecorded;
    ASSERT_GE(box->text.size(), said.size());
    EXPECT_EQ(box->text.substr(box->text.size() - said.size()), said);
    UiDriver::click(box->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(box->window, 10s));
    // The number is read again only after the last box of the write: once it
    // shows, no "Success" box came.
    expectCurrentSerial(main, "Current serial number: 1234");
    EXPECT_FALSE(UiDriver::findMessageBox(self));
    EXPECT_EQ(simulator->device(stageLeft)->setup.serial, 1234u);
    const auto moved =
        Journal::readEntries(Journal::JournalFile::read(folder.path() / "moved.jsonl"));
    ASSERT_EQ(moved.entries.size(), 1u);
    EXPECT_FALSE(moved.entries[0].outcome);
}

TEST_F(WindowJournal, JournalThatCannotBeWrittenSendsNothing) {
    std::ofstream(folder.path() / "plain") << "a file, not a folder";
    const auto journal = folder.path() / "plain" / "journal.jsonl";
    ASSERT_NO_FATAL_FAILURE(start(journal));
    ASSERT_NO_FATAL_FAILURE(write(stageLeft, "1234", "-1"));
    const auto box = UiDriver::waitForMessageBox(self, 10s);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->caption, "Error");
    EXPECT_NE(box->text.find(Journal::displayPath(journal)), std::string::npos) << box->text;
    EXPECT_NE(box->text.find("Nothing was written."), std::string::npos) << box->text;
    UiDriver::click(box->window, IDOK);
    ASSERT_TRUE(UiDriver::waitGone(box->window, 10s));
    EXPECT_EQ(requestsOf(*simulator, stageLeft, setBoardId), 0u);
    EXPECT_EQ(simulator->device(stageLeft)->setup.serial, 4294967295u);
}

TEST_F(WindowJournal, ExportSavesTheListedDevicesWithTheNumbersRead) {
    ASSERT_NO_FATAL_FAILURE(start(folder.path() / "journal.jsonl"));
    list->select(list->find(2, "0000000a:0000000b"));
    expectCurrentSerial(main, "Current serial number: 77");
    PostMessageA(main, WM_COMMAND, IDM_EXPORT, 0);
    ASSERT_TRUE(TestSupport::waitUntil([&] { return std::filesystem::exists(exportFile); }, 10s));
    std::string text;
    // Rows in list order (arrival order: either device may come first).
    ASSERT_TRUE(TestSupport::waitUntil(
        [&] {
            text = fileText(exportFile);
            return text.find("\r\n", text.find("0001e240")) != std::string::npos;
        },
        10s));
    EXPECT_EQ(text.rfind("name,product,id,address,serial\r\n", 0), 0u) << text;
    EXPECT_NE(text.find("'=Front,Ondal 2,0000000a:0000000b,192.0.2.2,77\r\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\"Stage, \"\"left\"\"\",Ondal 4,0001e240:000012ab,192.0.2.2,\r\n"),
              std::string::npos)
        << text;
}

TEST(WindowExport, AsksWhereThroughTheStandardSaveDialog) {
    VORN_REQUIRE_TEST_NAMESPACE();
    const auto simulator = simulate({device(stageLeft, 12, "Stage left", 1)});
    ProgramThread program;
    const DWORD self = ProgramThread::processId();
    ASSERT_NO_FATAL_FAILURE(chooseNetwork(self, toolAddress));
    const HWND main = mainWindow(self);
    ASSERT_NE(main, nullptr);
    PostMessageA(main, WM_COMMAND, IDM_EXPORT, 0);
    const HWND dialog = UiDriver::waitForWindow(self, "#32770", "Export device list", 15s);
    ASSERT_NE(dialog, nullptr) << "no save dialog";
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(UiDriver::waitGone(dialog, 10s));
}

} // namespace
