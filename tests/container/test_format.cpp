// Classification, extensions, the header and the check-block offset draw.
#include "container/format.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace qx::container;

namespace {

int kind_of(std::string_view head, std::string_view path) {
    return classify_bytes(reinterpret_cast<const uint8_t*>(head.data()), head.size(), path).kind;
}

}  // namespace

TEST(Extension, TakesTheTextAfterTheFirstDotLowerCased) {
    EXPECT_EQ(file_extension("REPORT.ZIP"), "zip");
    EXPECT_EQ(file_extension("report.Zip.old"), "zip.old");
    EXPECT_EQ(file_extension("backup.tar.gz"), "tar.gz");
    EXPECT_EQ(file_extension("README"), "");
    EXPECT_EQ(file_extension("x."), ".");
    EXPECT_EQ(file_extension("\xC4.\xC4Z"), "\xC4z");  // only A-Z change
    // A backslash is an ordinary character here: the whole text is one component.
    EXPECT_EQ(file_extension("..\\data\\a.txt"), ".\\data\\a.txt");
}

TEST(Extension, DottedDirectoriesDoNotLendTheirExtension) {
    EXPECT_EQ(file_extension("../docs/a.TXT"), "txt");
    EXPECT_EQ(file_extension("./notes"), "");
    EXPECT_EQ(file_extension("/home/u/v1.2/archive.zip"), "zip");
    std::string path = "/home/u/.config/secret.txt";
    replace_extension(path, "bak");
    EXPECT_EQ(path, "/home/u/.config/secret.bak");
    path = "v1.2/notes";
    replace_extension(path, "bak");
    EXPECT_EQ(path, "v1.2/notes.bak");
}

TEST(Extension, ReplaceKeepsEverythingUpToTheFirstDot) {
    for (auto [in, out] : {std::pair{"letter", "letter.bak"}, {"a.b.c", "a.bak"}, {"x.", "x.bak"},
                           {"..\\data\\a.txt", ".bak"}, {"NOTES.BAK", "NOTES.bak"}}) {
        std::string path = in;
        replace_extension(path, "bak");
        EXPECT_EQ(path, out) << in;
    }
    std::string longest(255, 'a');
    replace_extension(longest, "bak");
    EXPECT_EQ(longest.size(), 259u);
}

TEST(Classify, HeaderWinsOverTheExtension) {
    EXPECT_EQ(kind_of("QX 0\x08\0\0\0", "x.zip"), kind_encrypted_stored);
    EXPECT_EQ(kind_of("QX H\x08\0\0\0", "photo.jpg"), kind_encrypted_compressed);
    EXPECT_EQ(kind_of("QXH!", "x"), kind_plain_compressed);      // mode byte is the 4th
    EXPECT_EQ(kind_of("QX h", "x.gz"), kind_plain_stored);         // other mode: plain
    EXPECT_EQ(kind_of("QX0", "a.rar"), kind_plain_stored);         // under 4 bytes: no header
    EXPECT_EQ(kind_of("qx 0", "a.txt"), kind_plain_compressed);
    EXPECT_EQ(kind_of("", "REPORT.ZIP"), kind_plain_stored);
    for (const char* ext : {"zip", "arj", "ain", "rar", "gz", "jpg"})
        EXPECT_EQ(kind_of("data", std::string("f.") + ext), kind_plain_stored) << ext;
    for (const char* name : {"README", "x.", "a.zip.old", "a.jpeg", "a.tar.gz"})
        EXPECT_EQ(kind_of("data", name), kind_plain_compressed) << name;
}

TEST(Classify, PassesOnKeyIndexAndOffset) {
    const uint8_t head[] = {'Q', 'X', 35, 'H', 0x78, 0x56, 0x34, 0xF2};
    FileClass c = classify_bytes(head, sizeof head, "a");
    EXPECT_EQ(c.key_index, 3);
    EXPECT_EQ(c.check_offset, 0xF2345678u);
    const uint8_t low[] = {'Q', 'X', 5, '0', 1};  // byte 2 below 32 wraps; missing bytes are 0
    c = classify_bytes(low, sizeof low, "a");
    EXPECT_EQ(c.kind, kind_encrypted_stored);
    EXPECT_EQ(c.key_index, 229);
    EXPECT_EQ(c.check_offset, 1u);
}

TEST(Classify, FilesThatCannotBeReadAreKindMinusOne) {
    namespace fsys = std::filesystem;
    fsys::path dir = fsys::temp_directory_path() / ("qx_classify_" + std::to_string(::getpid()));
    fsys::create_directories(dir);
    EXPECT_EQ(classify_file((dir / "missing.txt").string()).kind, kind_cannot_open);
    EXPECT_EQ(classify_file(dir.string()).kind, kind_cannot_open);
    std::string fifo = (dir / "pipe.txt").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(classify_file(fifo).kind, kind_cannot_open);  // and does not block
    const char enc[] = "QX!0\x10\0\0\0rest";
    std::ofstream(dir / "enc.zip", std::ios::binary).write(enc, sizeof enc - 1);
    FileClass c = classify_file((dir / "enc.zip").string());
    EXPECT_EQ(c.kind, kind_encrypted_stored);
    EXPECT_EQ(c.key_index, 1);
    EXPECT_EQ(c.check_offset, 16u);
    fsys::remove_all(dir);
}

TEST(Header, LayoutIsMagicKeyModeOffset) {
    uint8_t h[header_size];
    write_header(h, 31, mode_compressed, 0x01020304);
    const uint8_t want[] = {'Q', 'X', 63, 'H', 4, 3, 2, 1};
    EXPECT_EQ(0, std::memcmp(h, want, sizeof want));
    write_header(h, 250, mode_stored, 8);
    EXPECT_EQ(h[2], 26);  // key index + 32 modulo 256
}

TEST(Random, FollowsTheLinearCongruentialSequence) {
    Random r;  // seed 1
    for (int want : {41, 18467, 6334, 26500, 19169}) EXPECT_EQ(r.next(), want);
    Random a(0xDEADBEEF), b(0);
    b.seed(0xDEADBEEF);
    for (int i = 0; i < 1000; ++i) {
        int v = a.next();
        ASSERT_EQ(v, b.next());
        ASSERT_GE(v, 0);
        ASSERT_LE(v, 32767);
    }
}

TEST(CheckBlockOffset, StaysInsideTheRegion) {
    for (int r : {0, 1, 16384, 32767}) {
        EXPECT_EQ(check_block_offset(r, 0), 8u);
        EXPECT_EQ(check_block_offset(r, 1), 8u);
    }
    EXPECT_EQ(check_block_offset(32767, 2), 9u);
    EXPECT_EQ(check_block_offset(16384, 1000), 508u);
    EXPECT_EQ(check_block_offset(12345, 4000000000u), 1507004001u);  // r x Z beyond 32 bits
    EXPECT_EQ(check_block_offset(1, 0xFFFFFFFFu), 131083u);
    EXPECT_EQ(check_block_offset(32767, 0xFFFFFFFFu), 4294967289u);
    for (uint32_t z : {1u, 2u, 13u, 4096u, 1u << 20, 0xFFFFFFF8u})
        EXPECT_LE(check_block_offset(32767, z), 8u + z - 1) << z;
}

TEST(Limits, TooLargeContentsAreRefused) {
    EXPECT_TRUE(contents_fit_format(0xFFFFFFFFu - 13, true));
    EXPECT_FALSE(contents_fit_format(0xFFFFFFFFu - 12, true));
    EXPECT_TRUE(contents_fit_format(0xFFFFFFF8u, false));
    EXPECT_FALSE(contents_fit_format(0xFFFFFFF9u, false));
    EXPECT_FALSE(region_fits_format(1ull << 32));
}
