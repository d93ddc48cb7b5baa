// Switch scanning and argument splitting under the POSIX and the Windows rules.
#include <gtest/gtest.h>

#include "driver/batch.hpp"
#include "driver/command_line.hpp"

using qx::driver::next_switch;
using qx::driver::posix_rules;
using qx::driver::split_argument;
using qx::driver::windows_rules;
using Args = std::vector<std::string>;

TEST(NextSwitch, TakesSwitchesAnywhereLeftToRightAndKeepsFiles) {
    Args args{"prog", "A.txt", "-E", "b.TXT", "/N", "-d"};
    EXPECT_EQ(next_switch(args, posix_rules), 'e');
    EXPECT_EQ(next_switch(args, posix_rules), 'n');
    EXPECT_EQ(next_switch(args, posix_rules), 'd');
    EXPECT_EQ(next_switch(args, posix_rules), ' ');
    EXPECT_EQ(args, (Args{"prog", "A.txt", "b.TXT"}));
    EXPECT_EQ(next_switch(args, posix_rules), ' ');
}

TEST(NextSwitch, SwitchOfWrongLengthGivesZeroAndLeavesArguments) {
    for (const char* bad : {"-ee", "-", "-xyz"}) {
        Args args{"prog", "a.txt", bad, "-e"};
        EXPECT_EQ(next_switch(args, posix_rules), 0) << bad;
        EXPECT_EQ(args.size(), 4u);
    }
    // Two characters make a switch whatever the letter; the caller refuses unknown ones.
    Args args{"prog", "--", "-x"};
    EXPECT_EQ(next_switch(args, posix_rules), '-');
    EXPECT_EQ(next_switch(args, posix_rules), 'x');
}

TEST(NextSwitch, SlashStartsAPosixSwitchOnlyWhenTwoCharactersLong) {
    Args args{"prog", "/tmp/x.txt", "/", "/e"};
    EXPECT_EQ(next_switch(args, posix_rules), 'e');
    EXPECT_EQ(next_switch(args, posix_rules), ' ');
    EXPECT_EQ(args, (Args{"prog", "/tmp/x.txt", "/"}));

    Args win{"prog", "/tmp/x.txt"};
    EXPECT_EQ(next_switch(win, windows_rules), 0);
}

TEST(NextSwitch, WindowsRulesLowerCaseEveryArgumentPassedOver) {
    Args args{"PROG", "A.TXT", "-L", "List.TXT"};
    EXPECT_EQ(next_switch(args, windows_rules), 'l');
    EXPECT_EQ(next_switch(args, windows_rules), ' ');
    EXPECT_EQ(args, (Args{"PROG", "a.txt", "list.txt"}));  // argument 0 is never touched
}

TEST(NextSwitch, NoArgumentsAtAll) {
    Args args{"prog"};
    EXPECT_EQ(next_switch(args, posix_rules), ' ');
    Args only_program{};
    EXPECT_EQ(next_switch(only_program, posix_rules), ' ');
}

TEST(SplitArgument, PosixPaths) {
    struct Case {
        const char *argument, *directory, *pattern;
    } cases[] = {
        {"report.txt", "", "report.txt"},   {"dir/sub/*.txt", "dir/sub/", "*.txt"},
        {"/abs/x.txt", "/abs/", "x.txt"},   {"dir/", "dir/", ""},
        {"a\\b\\*.txt", "", "a\\b\\*.txt"}, {"c:*.doc", "", "c:*.doc"},
        {"./x", "./", "x"},                 {"", "", ""},
    };
    for (const Case& c : cases) {
        auto split = split_argument(c.argument, posix_rules);
        EXPECT_EQ(split.directory, c.directory) << c.argument;
        EXPECT_EQ(split.pattern, c.pattern) << c.argument;
    }
}

TEST(SplitArgument, WindowsPaths) {
    struct Case {
        const char *argument, *directory, *pattern;
    } cases[] = {
        {"d:\\data\\*.txt", "d:\\data\\", "*.txt"},
        {"c:*.doc", "c:", "*.doc"},
        {"report.txt", "", "report.txt"},
        {"a/b\\c.txt", "a/b\\", "c.txt"},
        {"x:", "x:", ""},
        {"\\root.txt", "\\", "root.txt"},
    };
    for (const Case& c : cases) {
        auto split = split_argument(c.argument, windows_rules);
        EXPECT_EQ(split.directory, c.directory) << c.argument;
        EXPECT_EQ(split.pattern, c.pattern) << c.argument;
    }
}

TEST(WorkerCount, TheSettingWhenItIsAWholeNumberElseTheProcessors) {
    using qx::driver::max_workers;
    using qx::driver::worker_count;
    EXPECT_EQ(worker_count(nullptr, 8), 8);
    EXPECT_EQ(worker_count("1", 8), 1);
    EXPECT_EQ(worker_count("3", 8), 3);
    EXPECT_EQ(worker_count("1000", 8), max_workers);
    for (const char* ignored : {"", "0", "-2", "4x", " 4", "many"}) EXPECT_EQ(worker_count(ignored, 2), 2) << ignored;
    EXPECT_EQ(worker_count(nullptr, 0), 1);
    EXPECT_EQ(worker_count(nullptr, 500), max_workers);
}
