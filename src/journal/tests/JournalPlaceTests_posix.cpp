// Where the journal lives by default on Linux, and who writes it.

#include "JournalPlace.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets an environment variable for the test's lifetime, then puts it back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedVariable() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(JournalPlace, StateFolderOfTheUser) {
    const ScopedVariable home("HOME", "/home/tech");
    {
        const ScopedVariable state("XDG_STATE_HOME", "/var/state/tech");
        EXPECT_EQ(Journal::defaultJournalPath(), "/var/state/tech/vornctl/journal.jsonl");
    }
    {
        const ScopedVariable state("XDG_STATE_HOME", nullptr);
        EXPECT_EQ(Journal::defaultJournalPath(), "/home/tech/.local/state/vornctl/journal.jsonl");
    }
    {
        // A relative XDG_STATE_HOME is not to be used.
        const ScopedVariable state("XDG_STATE_HOME", "relative/state");
        EXPECT_EQ(Journal::defaultJournalPath(), "/home/tech/.local/state/vornctl/journal.jsonl");
    }
    {
        const ScopedVariable state("XDG_STATE_HOME", "");
        EXPECT_EQ(Journal::defaultJournalPath(), "/home/tech/.local/state/vornctl/journal.jsonl");
    }
}

TEST(JournalPlace, WithoutHomeTheAccountsFolder) {
    const ScopedVariable state("XDG_STATE_HOME", nullptr);
    const ScopedVariable home("HOME", nullptr);
    const auto path = Journal::defaultJournalPath();
    EXPECT_TRUE(path.is_absolute()) << path;
    EXPECT_EQ(path.filename(), "journal.jsonl");
    EXPECT_EQ(path.parent_path().parent_path().filename(), "state");
}

TEST(JournalPlace, WriterIsNamed) {
    EXPECT_FALSE(Journal::loginName().empty());
    EXPECT_NE(Journal::hostName(), "");
}

} // namespace
