// Where the journal lives by default on Windows, and who writes it.

#include "JournalPlace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(JournalPlace, LocalApplicationDataOfTheUser) {
    const wchar_t* old = _wgetenv(L"LOCALAPPDATA");
    const std::wstring saved = old ? old : L"";
    _wputenv_s(L"LOCALAPPDATA", L"C:\\Users\\tech\\AppData\\Local");
    EXPECT_EQ(Journal::defaultJournalPath().wstring(),
              L"C:\\Users\\tech\\AppData\\Local\\vornctl\\journal.jsonl");
    // Without the variable, the folder the system names.
    _wputenv_s(L"LOCALAPPDATA", L"");
    const auto known = Journal::defaultJournalPath();
    EXPECT_TRUE(known.is_absolute()) << known.string();
    EXPECT_EQ(known.filename().wstring(), L"journal.jsonl");
    EXPECT_EQ(known.parent_path().filename().wstring(), L"vornctl");
    _wputenv_s(L"LOCALAPPDATA", saved.c_str());
}

TEST(JournalPlace, WriterIsNamed) {
    EXPECT_NE(Journal::loginName(), "unknown");
    EXPECT_NE(Journal::hostName(), "unknown");
}

} // namespace
