// The container in memory: fixed files written from the format's rules, round trips, hostile files.
#include "container/sealed.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace qx::container;
using Bytes = std::vector<uint8_t>;

namespace {

// Fixed encrypted files worked out from the format and cipher rules independently
// of this code (the compressed stream of the third is the codec's, in a fresh state).
// 1: empty contents, mode "0", password "abcd" (any draw gives offset 8).
const Bytes empty_stored = {
    0x51, 0x58, 0x23, 0x30, 0x08, 0x00, 0x00, 0x00, 0x04, 0x8A, 0x01, 0xCA,
    0x4B, 0x00, 0x00, 0x61, 0xD2, 0xCF, 0x8A, 0xCE, 0x88, 0xE0, 0x94, 0x9B,
    0x97, 0x94, 0xAF, 0x8B, 0x1B};
// 2: "Hello, world!\n", mode "0", password "pass\xE9word", draw 16384 (offset 15).
const Bytes text_stored = {
    0x51, 0x58, 0x27, 0x30, 0x0F, 0x00, 0x00, 0x00, 0x9C, 0xDF, 0x8E, 0x94,
    0x89, 0x91, 0xD4, 0x09, 0x5C, 0x04, 0x55, 0x92, 0x01, 0x00, 0x70, 0xE0,
    0x94, 0x91, 0x9B, 0x94, 0xE5, 0xB8, 0xD2, 0xCF, 0x8A, 0xCE, 0x88, 0xE0,
    0x94, 0x9B, 0x97, 0x94, 0xAF, 0x8B, 0x0A};
// 3: "hello hello hello world\n", mode "H", password "Secret#1", draw 32767 (offset 40).
const Bytes text_compressed = {
    0x51, 0x58, 0x23, 0x48, 0x28, 0x00, 0x00, 0x00, 0x25, 0x00, 0x00, 0x00,
    0x20, 0x28, 0x1D, 0x1A, 0x6C, 0x15, 0xC5, 0xC3, 0x27, 0xBF, 0x82, 0x49,
    0x26, 0x05, 0x71, 0xBC, 0x5E, 0x5B, 0x16, 0x5A, 0x14, 0xB3, 0x7E, 0xF4,
    0x8E, 0xA3, 0xB1, 0x7C, 0x08, 0xBA, 0x02, 0x88, 0x77, 0x00, 0x00, 0x53,
    0xB0};

struct Fixture {
    const Bytes* file;
    std::string contents;
    std::string password;
    int compress;
    int draw;
};

const Fixture fixtures[] = {
    {&empty_stored, "", "abcd", 0, 12345},
    {&text_stored, "Hello, world!\n", "pass\xE9word", 0, 16384},
    {&text_compressed, "hello hello hello world\n", "Secret#1", 1, 32767},
};

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

Bytes sealed(std::string_view contents, std::string_view pw, int compress, int draw, qx::codec::Codec& codec) {
    Bytes file;
    EXPECT_EQ(seal(reinterpret_cast<const uint8_t*>(contents.data()), contents.size(), pw, compress, draw, codec,
                   file),
              Fault::none);
    return file;
}

Fault open_fault(const Bytes& file, std::string_view pw, Opened* opened = nullptr) {
    qx::codec::Codec codec;
    Opened local;
    return open_sealed(file.data(), file.size(), pw, codec, opened ? *opened : local);
}

Bytes contents_of(const Opened& o) { return o.contents; }

}  // namespace

TEST(Sealed, FixedFilesOpenAndAreWrittenByteForByte) {
    for (const Fixture& f : fixtures) {
        Opened o;
        ASSERT_EQ(open_fault(*f.file, f.password, &o), Fault::none) << f.contents;
        EXPECT_EQ(contents_of(o), bytes(f.contents));
        EXPECT_EQ(o.identification, "Quillex v2.1");
        qx::codec::Codec fresh;
        EXPECT_EQ(sealed(f.contents, f.password, f.compress, f.draw, fresh), *f.file) << f.contents;
    }
}

TEST(Sealed, RoundTripsThroughOneCodecState) {
    qx::codec::Codec codec;  // shared by every operation, as in a run
    std::mt19937 rng(11);
    for (size_t size : {0u, 1u, 2u, 13u, 59u, 60u, 61u, 4095u, 4096u, 4155u, 100000u}) {
        std::string contents(size, '\0');
        for (char& c : contents) c = static_cast<char>(rng() % 4 == 0 ? 27 : rng());  // many ESC bytes
        for (int compress : {0, 1}) {
            const int draw = static_cast<int>(rng() % 32768);
            Bytes file = sealed(contents, "pw\x80\xFFpw", compress, draw, codec);
            FileClass fc = classify_bytes(file.data(), file.size(), "x.zip");
            EXPECT_EQ(fc.kind, compress ? kind_encrypted_compressed : kind_encrypted_stored);
            Opened o;
            ASSERT_EQ(open_sealed(file.data(), file.size(), "pw\x80\xFFpw", codec, o), Fault::none) << size;
            EXPECT_EQ(contents_of(o), bytes(contents)) << size << " " << compress;
            if (compress == 0) {
                EXPECT_EQ(file.size(), size + 13 + 16);
            }
            // The block lies in the region and, when it has bytes, before its last one.
            EXPECT_LE(fc.check_offset, 8 + (size == 0 || compress ? file.size() - 17 : size - 1));
        }
    }
}

TEST(Sealed, IncompressibleContentsAreWrittenWhole) {
    qx::codec::Codec codec;
    std::mt19937 rng(3);
    std::string contents(20000, '\0');
    for (char& c : contents) c = static_cast<char>(rng());
    Bytes file = sealed(contents, "abcd", 1, 32767, codec);
    EXPECT_GT(file.size(), contents.size() + 13 + 16);
    Opened o;
    ASSERT_EQ(open_fault(file, "abcd", &o), Fault::none);
    EXPECT_EQ(contents_of(o), bytes(contents));
}

TEST(Sealed, WrongPasswordsFailAtTheCheckBlock) {
    const Bytes& file = text_stored;
    for (const char* pw : {"pass\xE9wor", "pass\xE9worD", "Pass\xE9word", "passw\xE9ord", "pass\x69word"})
        EXPECT_EQ(open_fault(file, pw), Fault::wrong_password) << pw;
    EXPECT_EQ(open_fault(file, ""), Fault::bad_argument);
}

TEST(Sealed, DamagedFilesFailWithoutReadingOutside) {
    // Every prefix of a valid file: too short, impossible offsets, failed consistency.
    // (A stored file cut by a multiple of the password length still deciphers: the
    // format carries no checksum.)
    for (const Fixture& f : fixtures) {
        for (size_t n = 0; n < f.file->size(); ++n) {
            if (f.compress == 0 && (f.file->size() - n) % f.password.size() == 0) continue;
            Bytes cut(f.file->begin(), f.file->begin() + static_cast<ptrdiff_t>(n));
            EXPECT_NE(open_fault(cut, f.password), Fault::none) << n;
        }
    }
    Bytes bad = empty_stored;
    for (uint32_t offset : {0u, 7u, 22u, 0xFFFFFFFFu}) {  // below 8, too near the end, far beyond
        for (int i = 0; i < 4; ++i) bad[4 + i] = static_cast<uint8_t>(offset >> (8 * i));
        EXPECT_EQ(open_fault(bad, "abcd"), Fault::damaged) << offset;
    }
    bad = empty_stored;
    bad[2] = 32 + 4;  // key index beyond the password
    EXPECT_EQ(open_fault(bad, "abcd"), Fault::damaged);
    bad = empty_stored;
    bad.push_back(0);  // one byte more: consistency test
    EXPECT_EQ(open_fault(bad, "abcd"), Fault::damaged);
}

TEST(Sealed, DeciphersWithoutEscAreRefused) {
    // A well-formed file whose plaintext holds no ESC at all.
    Bytes plain(40, 'x');
    Sealed s;
    int key = encipher_data(plain.data(), plain.size(), "abcd");
    s.region = plain;
    ASSERT_EQ(finish_seal(s, key, mode_stored, 27, 100, "abcd"), Fault::none);
    EXPECT_EQ(open_fault(assemble_file(s), "abcd"), Fault::damaged);
}

TEST(Sealed, CompressedRegionsAreCheckedBeforeUse) {
    auto with_region = [](Bytes region) {
        Sealed s;
        s.region = std::move(region);
        EXPECT_EQ(finish_seal(s, 3, mode_compressed, static_cast<uint32_t>(s.region.size()), 0, "abcd"),
                  Fault::none);
        return assemble_file(s);
    };
    EXPECT_EQ(open_fault(with_region({1, 0}), "abcd"), Fault::codec_cant_read);  // under 4 bytes
    EXPECT_EQ(open_fault(with_region({}), "abcd"), Fault::codec_cant_read);
    EXPECT_EQ(open_fault(with_region({0, 0, 0, 0, 1}), "abcd"), Fault::damaged);  // zero length
    // A header claiming 4 GiB from a few bytes: fails fast, allocating little.
    EXPECT_EQ(open_fault(with_region({0xFF, 0xFF, 0xFF, 0xFF, 0xC5, 0x1D}), "abcd"), Fault::damaged);
    // A valid stream of the wrong plaintext (100 spaces) fails the cipher's own tests.
    EXPECT_EQ(open_fault(with_region({0x64, 0, 0, 0, 0xC5, 0x1D, 0xD8, 0x84, 0xC0}), "abcd"), Fault::damaged);
}

TEST(Sealed, TooLargeOffsetsAreRefused) {
    Sealed s;
    s.region.assign(10, 0);
    EXPECT_EQ(finish_seal(s, 0, mode_stored, 0xFFFFFFFFu, 32767, "abcd"), Fault::too_large);
    EXPECT_EQ(finish_seal(s, 0, mode_stored, 10, 32767, "abcd"), Fault::none);
    EXPECT_EQ(s.split, 9u);
}

TEST(Identification, IsCutAndCleanedForTheConsole) {
    std::string text(300, 'v');
    EXPECT_EQ(displayed_identification(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
              std::string(255, 'v'));
    const uint8_t odd[] = {'Q', '\r', 0x9B, 'x', 127, 0, 'h', 'i'};
    EXPECT_EQ(displayed_identification(odd, sizeof odd), "Q?\x9Bx?");
}
