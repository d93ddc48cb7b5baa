// The list-file parser, collect_matches over a real directory, the run's file names and wildcards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "driver/file_list.hpp"
#include "driver/run_state.hpp"
#include "platform/platform.hpp"

namespace fs = std::filesystem;
using namespace qx::driver;
using Entries = std::vector<std::string>;

namespace {

Entries parse(std::string_view bytes, size_t piece = 0) {
    ListParser parser;
    Entries entries;
    if (piece == 0) piece = bytes.size() + 1;
    for (size_t at = 0; at < bytes.size(); at += piece) parser.feed(bytes.substr(at, piece), entries);
    parser.finish(entries);
    return entries;
}

}  // namespace

TEST(ListParser, LineEndsEmptyLinesAndLastLineWithoutEnd) {
    EXPECT_EQ(parse("a.txt\r\nb.txt\n\n\r\nc d.txt  "), (Entries{"a.txt", "b.txt", "c d.txt  "}));
    EXPECT_EQ(parse(""), Entries{});
    EXPECT_EQ(parse("\n\r\n\n"), Entries{});
    // A CR that no LF follows is an ordinary character, also at the very end.
    EXPECT_EQ(parse("a\rb\nc\r"), (Entries{"a\rb", "c\r"}));
}

TEST(ListParser, LongLinesAreCutInto255CharacterPieces) {
    std::string line300(300, 'x');
    line300[255] = 'y';
    std::string rest(45, 'x');
    rest[0] = 'y';
    EXPECT_EQ(parse(line300 + "\r\nz"), (Entries{std::string(255, 'x'), rest, "z"}));
    // Exactly 255 characters and a line end: one entry, no empty one after it.
    EXPECT_EQ(parse(std::string(255, 'a') + "\r\nb"), (Entries{std::string(255, 'a'), "b"}));
    EXPECT_EQ(parse(std::string(510, 'a')), (Entries{std::string(255, 'a'), std::string(255, 'a')}));
}

TEST(ListParser, RemovesOneLeadingDotBackslash) {
    EXPECT_EQ(parse(".\\x.doc\n.\\.\\x.doc\n..\\x.doc\n./x.doc\n"),
              (Entries{"x.doc", ".\\x.doc", "..\\x.doc", "./x.doc"}));
}

TEST(ListParser, NulEndsAnEntry) {
    EXPECT_EQ(parse(std::string_view("ab\0cd\n\0x\nz", 11)), (Entries{"ab", "z"}));
}

TEST(ListParser, SameEntriesWhateverPiecesTheBytesArriveIn) {
    std::string bytes = "one\r\n\r\n.\\two\r\n" + std::string(600, 'q') + "\r\nlast\r";
    Entries whole = parse(bytes);
    for (size_t piece : {1, 2, 3, 7, 255, 256})
        EXPECT_EQ(parse(bytes, piece), whole) << piece;
}

// A scratch directory for each test; the current directory is restored after.
class CollectMatches : public ::testing::Test {
protected:
    void SetUp() override {
        home_ = fs::current_path();
        dir_ = fs::temp_directory_path() /
               ("qx_collect_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sub.txt");
        for (const char* name : {"a.txt", "b.txt", "B.TXT", "c.doc", "noext", ".hidden.txt"}) touch(name);
        touch("sub.txt/inner.txt");
        fs::current_path(dir_);
    }
    void TearDown() override {
        fs::current_path(home_);
        fs::remove_all(dir_);
    }
    void touch(const std::string& name) { std::ofstream(dir_ / name) << "x"; }

    // Runs collect_matches and returns the lines it wrote.
    Entries collect(const std::string& directory, const std::string& pattern, int* count = nullptr,
                    const RunFiles& own = {}) {
        std::FILE* stream = std::tmpfile();
        int n = collect_matches(directory, pattern, own, stream, posix_rules, refused_);
        std::rewind(stream);
        std::string text;
        for (int c; (c = std::fgetc(stream)) != EOF;) text += static_cast<char>(c);
        std::fclose(stream);
        Entries lines = parse(text);
        if (count != nullptr) *count = n;
        EXPECT_EQ(static_cast<size_t>(n), lines.size());
        return lines;
    }

    fs::path home_, dir_;
    Entries refused_;
};

TEST_F(CollectMatches, WildcardsMatchFilesOnlyWithCaseSorted) {
    EXPECT_EQ(collect("", "*.txt"), (Entries{".hidden.txt", "a.txt", "b.txt"}));
    EXPECT_EQ(collect("", "?.TXT"), (Entries{"B.TXT"}));
    EXPECT_EQ(collect("", "*.*"), (Entries{".hidden.txt", "B.TXT", "a.txt", "b.txt", "c.doc", "noext"}));
    EXPECT_EQ(collect("", "*"), collect("", "*.*"));
    EXPECT_EQ(collect("", "*.none"), Entries{});
    EXPECT_TRUE(refused_.empty());
}

TEST_F(CollectMatches, DirectoryTextGoesInFrontAndCurrentDirectoryStays) {
    fs::current_path(home_);
    std::string dir = dir_.string() + "/";
    EXPECT_EQ(collect(dir, "?.doc"), (Entries{dir + "c.doc"}));
    EXPECT_EQ(collect(dir + "sub.txt/", "*"), (Entries{dir + "sub.txt/inner.txt"}));
    EXPECT_EQ(fs::current_path(), home_);
    fs::current_path(dir_);
    EXPECT_EQ(collect("sub.txt/", "*.txt"), (Entries{"sub.txt/inner.txt"}));
    EXPECT_EQ(collect("./", "c.doc"), (Entries{"./c.doc"}));
}

TEST_F(CollectMatches, LiteralNamesMissingDirectoriesAndEmptyPatterns) {
    EXPECT_EQ(collect("", "a.txt"), (Entries{"a.txt"}));
    EXPECT_EQ(collect("", "A.txt"), Entries{});
    EXPECT_EQ(collect("", "sub.txt"), Entries{});  // a directory is never listed
    EXPECT_EQ(collect("missing/", "*"), Entries{});
    EXPECT_EQ(collect("missing/", "a.txt"), Entries{});
    EXPECT_EQ(collect("sub.txt/", ""), Entries{});
}

TEST_F(CollectMatches, SkipsThisRunsOwnFilesOnly) {
    for (const char* name : {"QXLList_42a.Tmp", "QXLList_7b.Tmp", "EXa00042", "EXc99999", "EXA00042"}) touch(name);
    touch("sub.txt/QXLList_42a.Tmp");
    RunFiles own{"./QXLList_42a.Tmp", "EXa00042"};
    // A user's file or another run's file shaped like a run file is listed.
    EXPECT_EQ(collect("", "*", nullptr, own), (Entries{".hidden.txt", "B.TXT", "EXA00042", "EXc99999",
                                                      "QXLList_7b.Tmp", "a.txt", "b.txt", "c.doc", "noext"}));
    EXPECT_EQ(collect("sub.txt/", "*", nullptr, own), (Entries{"sub.txt/QXLList_42a.Tmp", "sub.txt/inner.txt"}));
    // With the user's list there is no temporary list to protect.
    EXPECT_EQ(collect("", "QXL*", nullptr, RunFiles{"", "EXa00042"}).size(), 2u);
}

TEST_F(CollectMatches, RefusesNamesThatAListLineCannotCarry) {
    touch("line\nbreak");
    touch("ends in cr\r");
    touch(".\\odd");
    std::string long_name(200, 'l');
    fs::create_directories(long_name);
    std::ofstream(dir_ / long_name / std::string(60, 'f')) << "x";
    int count = 0;
    Entries lines = collect("", "*", &count);
    EXPECT_EQ(lines, (Entries{"./.\\odd", ".hidden.txt", "B.TXT", "a.txt", "b.txt", "c.doc", "noext"}));
    EXPECT_EQ(collect(long_name + "/", "*"), Entries{});
    std::sort(refused_.begin(), refused_.end());
    EXPECT_EQ(refused_, (Entries{"ends in cr\r", "line\nbreak", long_name + "/" + std::string(60, 'f')}));
}

TEST(RunFileNames, WorkFileAndTemporaryListNames) {
    EXPECT_EQ(work_file_name(1234567, 'a'), "EXa34567");
    EXPECT_EQ(work_file_name(42, 'z'), "EXz00042");
    EXPECT_EQ(temp_list_name("./build/quillex", 42, 'a', posix_rules), "./build/QXLList_42a.Tmp");
    EXPECT_EQ(temp_list_name("quillex", 7, 'b', posix_rules), "QXLList_7b.Tmp");
    EXPECT_EQ(temp_list_name("c:quillex.exe", 7, 'a', windows_rules), "c:QXLList_7a.Tmp");
    for (const char* name : {"EXa12345", "QXLList_.Tmp", "QXLList_99c.Tmp"}) EXPECT_TRUE(is_run_file_name(name));
    for (const char* name : {"EXA12345", "EXa1234", "EXa123456", "EXa1234x", "QXLList_1.tmp", "xQXLList_.Tmp"})
        EXPECT_FALSE(is_run_file_name(name)) << name;
}

TEST(WildcardMatch, StarsAndQuestionMarks) {
    using qx::platform::wildcard_match;
    EXPECT_TRUE(wildcard_match("*.*", "noext"));
    EXPECT_TRUE(wildcard_match("*", ""));
    EXPECT_TRUE(wildcard_match("a*b*c", "aXXbYbZc"));
    EXPECT_TRUE(wildcard_match("*.txt", "x.y.txt"));
    EXPECT_TRUE(wildcard_match("??", "ab"));
    EXPECT_FALSE(wildcard_match("??", "abc"));
    EXPECT_FALSE(wildcard_match("*.txt", "x.TXT"));
    EXPECT_FALSE(wildcard_match("a*b", "a"));
    EXPECT_FALSE(wildcard_match("", "a"));
    EXPECT_TRUE(wildcard_match(std::string(30, '*') + "b", std::string(200, 'a') + "b"));
}

TEST(Printable, ControlCharactersShowAsQuestionMarks) {
    EXPECT_EQ(printable("a\x1b[31m\nb\x7f\xc3\xa9"), "a?[31m?b?\xc3\xa9");
}
