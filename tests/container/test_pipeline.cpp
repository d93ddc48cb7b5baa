// The file pipelines: progress pieces, backups, the work file, and what is on disk after each outcome.
#include "container/pipeline.hpp"

#include <gtest/gtest.h>

#include "test_files.hpp"

#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace qx::container;
using namespace qx::container::test_files;
namespace fsys = std::filesystem;

namespace {


std::string text(size_t size) {
    std::string s;
    for (size_t i = 0; s.size() < size; ++i) s += "line " + std::to_string(i * 7919 % 1000) + " of the notes\n";
    s.resize(size);
    return s;
}

class Pipeline : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fresh_test_directory("qx_pipeline_");
        run.work_file = (dir / "EXa12345").string();
        write(run.work_file, "");
        run.codec = &codec;
        run.random = &random;
        run.progress = [this](std::string_view piece) { pieces += std::string(piece) + "|"; };
    }
    void TearDown() override { fsys::remove_all(dir); }

    Result encrypt(const fsys::path& p, int compress, std::string_view pw = "secret") {
        pieces.clear();
        return encrypt_file(p.string(), pw, compress, run);
    }
    Result decrypt(const fsys::path& p, std::string_view pw = "secret") {
        pieces.clear();
        return decrypt_file(p.string(), pw, classify_file(p.string()), run);
    }
    // Names in the directory, the work file aside: a leftover fresh file would show here.
    std::set<std::string> names() {
        std::set<std::string> found;
        for (const auto& e : fsys::directory_iterator(dir))
            if (e.path() != run.work_file) found.insert(e.path().filename().string());
        return found;
    }

    fsys::path dir;
    qx::codec::Codec codec;
    Random random{42};
    RunContext run;
    std::string pieces;
};

const char* const encrypt_pieces_h = "... encrypting |.|.|.| compressing .|.|.| writing |.|.|.|";
const char* const encrypt_pieces_0 = "... encrypting |.|.|.| writing |.|.|.|";
const char* const decrypt_pieces_3 = "... reading |.|.|.| decompressing .|.|.| decrypting |.|.|.|";
const char* const decrypt_pieces_2 = "... reading |.|.|.| decrypting |.|.|.|";

}  // namespace

TEST_F(Pipeline, RoundTripWithBackupWorkFileAndExactProgress) {
    const fsys::path file = dir / "notes.txt";
    const std::string original = text(50000);
    write(file, original);
    fsys::permissions(file, fsys::perms::owner_read | fsys::perms::owner_write | fsys::perms::group_read);

    Result r = encrypt(file, 1);
    ASSERT_EQ(r.status, Status::done) << fault_name(r.fault);
    EXPECT_EQ(pieces, encrypt_pieces_h);
    EXPECT_EQ(classify_file(file.string()).kind, kind_encrypted_compressed);
    EXPECT_LT(fsys::file_size(file), original.size());
    EXPECT_EQ(read(dir / "notes.bak"), original);
    EXPECT_EQ(fsys::status(file).permissions(), fsys::status(dir / "notes.bak").permissions());
    EXPECT_EQ(fsys::status(file).permissions() & fsys::perms::all,
              fsys::perms::owner_read | fsys::perms::owner_write | fsys::perms::group_read);
    EXPECT_EQ(fsys::file_size(run.work_file), original.size() + 13);  // the codec's input
    const std::string encrypted = read(file);

    r = decrypt(file);
    ASSERT_EQ(r.status, Status::done) << fault_name(r.fault);
    EXPECT_EQ(pieces, decrypt_pieces_3);
    EXPECT_EQ(r.identification, "Quillex v2.1");
    EXPECT_EQ(read(file), original);
    EXPECT_EQ(read(dir / "notes.bak"), encrypted);  // the backup of the encrypted form
    EXPECT_EQ(names(), (std::set<std::string>{"notes.txt", "notes.bak"}));
}

// Long steps tell how far they have come between the pieces, each step counting up
// to its own total; the pieces themselves stay exactly as they are.
TEST_F(Pipeline, LongStepsTellHowFarTheyHaveCome) {
    const fsys::path file = dir / "big.txt";
    const std::string original = text(3 << 20);
    write(file, original);
    std::vector<std::string> steps;  // per step: the piece before it and its reports
    uint64_t last_done = 0, last_total = 0;
    run.advance = [&](uint64_t done, uint64_t total) {
        if (steps.empty() || total != last_total || done < last_done) steps.push_back(pieces);
        EXPECT_LE(done, total);
        last_done = done;
        last_total = total;
    };
    ASSERT_EQ(encrypt(file, 1).status, Status::done);
    EXPECT_EQ(pieces, encrypt_pieces_h);
    // Reading and enciphering after the backup's piece, then compressing (which
    // writes the fresh file as it goes), each after its own piece.
    EXPECT_EQ(steps, (std::vector<std::string>{"... encrypting |.|", "... encrypting |.|.|.| compressing .|"}));
    steps.clear();
    last_done = last_total = 0;
    ASSERT_EQ(decrypt(file).status, Status::done);
    EXPECT_EQ(pieces, decrypt_pieces_3);
    // Reading into the work file, then decompressing and deciphering into the fresh file.
    EXPECT_EQ(steps, (std::vector<std::string>{"... reading |", "... reading |.|.|.| decompressing .|"}));
    EXPECT_EQ(read(file), original);
}

TEST_F(Pipeline, StoredModeForCompressedExtensionsAndEmptyFiles) {
    const fsys::path zip = dir / "photo.ZIP";
    write(zip, "PK\x03\x04 pretend archive");
    ASSERT_EQ(encrypt(zip, classify_file(zip.string()).kind).status, Status::done);
    EXPECT_EQ(pieces, encrypt_pieces_0);
    EXPECT_EQ(fsys::file_size(zip), 20u + 13 + 16);
    ASSERT_EQ(decrypt(zip).status, Status::done);
    EXPECT_EQ(pieces, decrypt_pieces_2);
    EXPECT_EQ(read(zip), "PK\x03\x04 pretend archive");

    const fsys::path empty = dir / "empty";
    write(empty, "");
    for (int compress : {0, 1}) {
        ASSERT_EQ(encrypt(empty, compress).status, Status::done);
        if (compress == 0) {
            EXPECT_EQ(classify_file(empty.string()).check_offset, 8u);  // Z = 0: block right after the header
        }
        ASSERT_EQ(decrypt(empty).status, Status::done);
        EXPECT_EQ(fsys::file_size(empty), 0u);
    }
}

namespace {

// The file a whole-buffer encryption writes: the plaintext in memory, enciphered,
// compressed (mode "H") in one call, laid out around the check block. Independent
// of the streaming steps that the pipelines use.
std::string whole_buffer_file(const std::string& ident, const std::string& contents, int compress, int draw,
                              qx::codec::Codec& codec) {
    std::vector<uint8_t> plain(ident.begin(), ident.end());
    plain.push_back(esc_byte);
    plain.insert(plain.end(), contents.begin(), contents.end());
    const int key = encipher_data(plain.data(), plain.size(), "secret");
    Sealed sealed;
    if (compress == 1) EXPECT_EQ(codec.compress(plain.data(), plain.size(), sealed.region), 1);
    else sealed.region = plain;
    const uint32_t z = static_cast<uint32_t>(compress == 1 ? sealed.region.size() : contents.size());
    EXPECT_EQ(finish_seal(sealed, key, compress == 1 ? mode_compressed : mode_stored, z, draw, "secret"), Fault::none);
    const std::vector<uint8_t> file = assemble_file(sealed);
    return std::string(file.begin(), file.end());
}

}  // namespace

// Sizes across the pieces of a megabyte, the chains' blocks and the check block's
// draw; with one codec state carried through all of them, as in a run.
TEST_F(Pipeline, StreamingWritesTheWholeBufferBytes) {
    qx::codec::Codec reference;
    Random same(42);
    for (size_t size : {size_t{0}, size_t{1}, size_t{200}, size_t{4154}, size_t{70000}, (size_t{1} << 20) - 13,
                        (size_t{1} << 20) + 777, size_t{2500000}})
        for (int compress : {0, 1}) {
            SCOPED_TRACE(testing::Message() << size << " bytes, mode " << compress);
            const fsys::path file = dir / (compress == 1 ? "a.txt" : "a.zip");
            const std::string original = text(size);
            write(file, original);
            ASSERT_EQ(encrypt(file, compress).status, Status::done);
            EXPECT_TRUE(read(file) == whole_buffer_file("Quillex v2.1", original, compress, same.next(), reference));
            std::vector<uint8_t> back;
            const std::string sealed = read(file);
            if (compress == 1) {  // the reference state decodes too, as the pipeline's does below
                const std::vector<uint8_t> region = [&] {
                    const uint32_t o = static_cast<uint8_t>(sealed[4]) | static_cast<uint8_t>(sealed[5]) << 8 |
                                       static_cast<uint8_t>(sealed[6]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(sealed[7])) << 24;
                    std::vector<uint8_t> r(sealed.begin() + 8, sealed.begin() + o);
                    r.insert(r.end(), sealed.begin() + o + 8, sealed.end());
                    return r;
                }();
                ASSERT_EQ(reference.decompress(region.data(), region.size(), back), 1);
            }
            ASSERT_EQ(decrypt(file).status, Status::done);
            EXPECT_TRUE(read(file) == original);
            fsys::remove(file);
            fsys::remove(backup_name(file.string()));
        }
}

// A fresh file of more than a few MiB is flushed beside its writing (here the
// decrypted one): it comes out whole all the same.
TEST_F(Pipeline, FilesOfManyMegabytesFlushedAsTheyAreWrittenComeOutWhole) {
    const fsys::path file = dir / "big.txt";
    const std::string original = text(size_t{17} << 20);
    write(file, original);
    ASSERT_EQ(encrypt(file, 1).status, Status::done);
    ASSERT_EQ(decrypt(file).status, Status::done);
    EXPECT_TRUE(read(file) == original);
}

// Files written with another identification text (another version's, or none)
// open all the same: the contents move to where the text's length puts them.
TEST_F(Pipeline, IdentificationTextsOfOtherLengthsOpen) {
    qx::codec::Codec writer;
    for (const std::string& ident : {std::string(), std::string("Q"), std::string("Quillex v2.0b"), std::string(300, 'x')})
        for (size_t size : {size_t{0}, size_t{5}, size_t{3000}, size_t{1} << 21})
            for (int compress : {0, 1}) {
                SCOPED_TRACE(testing::Message() << ident.size() << "-byte text, " << size << " bytes, mode " << compress);
                const std::string original = text(size);
                qx::codec::Codec fresh;
                const fsys::path file = dir / "old.txt";
                write(file, whole_buffer_file(ident, original, compress, 1234, fresh));
                qx::codec::Codec own;
                run.codec = &own;
                const Result r = decrypt(file);
                run.codec = &codec;
                ASSERT_EQ(r.status, Status::done);
                EXPECT_EQ(r.identification, ident.substr(0, 255));
                EXPECT_TRUE(read(file) == original);
                fsys::remove(backup_name(file.string()));
            }
}

TEST_F(Pipeline, NoBackupWithDashNOrForBakFiles) {
    run.no_backup = true;
    write(dir / "a.txt", "alpha");
    ASSERT_EQ(encrypt(dir / "a.txt", 1).status, Status::done);
    ASSERT_EQ(decrypt(dir / "a.txt").status, Status::done);
    run.no_backup = false;
    write(dir / "NOTES.BAK", "beta");
    ASSERT_EQ(encrypt(dir / "NOTES.BAK", 1).status, Status::done);
    ASSERT_EQ(decrypt(dir / "NOTES.BAK").status, Status::done);
    EXPECT_EQ(read(dir / "NOTES.BAK"), "beta");
    EXPECT_EQ(names(), (std::set<std::string>{"a.txt", "NOTES.BAK"}));
}

TEST_F(Pipeline, WrongPasswordAndDamagedFilesChangeNothing) {
    const fsys::path file = dir / "doc.txt";
    write(file, text(20000));
    ASSERT_EQ(encrypt(file, 1).status, Status::done);
    write(dir / "doc.bak", "an older backup");
    write(run.work_file, "work");
    const std::string encrypted = read(file);

    Result r = decrypt(file, "Secret");
    EXPECT_EQ(r.status, Status::failed);
    EXPECT_EQ(r.fault, Fault::wrong_password);
    EXPECT_EQ(pieces, "... reading |");

    // Damaged behind a valid check block: the stream no longer decodes to its length.
    std::string damaged = encrypted.substr(0, encrypted.size() - 40);
    write(file, damaged);
    r = decrypt(file);
    EXPECT_EQ(r.status, Status::failed);
    EXPECT_EQ(r.fault, Fault::damaged);
    EXPECT_EQ(read(file), damaged);
    write(file, encrypted.substr(0, 12));  // under 16 bytes
    EXPECT_EQ(decrypt(file).fault, Fault::damaged);
    EXPECT_EQ(read(dir / "doc.bak"), "an older backup");
    EXPECT_EQ(names(), (std::set<std::string>{"doc.txt", "doc.bak"}));
}

TEST_F(Pipeline, ShortCompressedDataEndsWithCantReadAndTheFileUnchanged) {
    Sealed s;
    s.region = {1, 0, 0};
    ASSERT_EQ(finish_seal(s, 1, mode_compressed, 3, 0, "secret"), Fault::none);
    std::vector<uint8_t> bytes = assemble_file(s);
    const std::string file_bytes(bytes.begin(), bytes.end());
    write(dir / "x.txt", file_bytes);
    Result r = decrypt(dir / "x.txt");
    EXPECT_EQ(r.status, Status::cant_read);
    EXPECT_STREQ(codec_message(r.status), "Can't read");
    EXPECT_EQ(read(dir / "x.txt"), file_bytes);
    EXPECT_EQ(names(), (std::set<std::string>{"x.txt"}));
}

TEST_F(Pipeline, ReadOnlyAndHardLinkedFilesAreRefusedUnchanged) {
    const fsys::path file = dir / "ro.txt";
    write(file, "keep me");
    fsys::permissions(file, fsys::perms::owner_read | fsys::perms::group_read);
    Result r = encrypt(file, 1);
    EXPECT_EQ(r.fault, Fault::read_only);
    EXPECT_EQ(read(file), "keep me");

    fsys::permissions(file, fsys::perms::owner_all);
    ASSERT_EQ(encrypt(file, 0).status, Status::done);
    fsys::remove(dir / "ro.bak");
    const std::string encrypted = read(file);
    fsys::permissions(file, fsys::perms::owner_read);
    r = decrypt(file);
    EXPECT_EQ(r.fault, Fault::read_only);
    EXPECT_EQ(read(file), encrypted);

    write(dir / "linked.txt", "shared");
    fsys::create_hard_link(dir / "linked.txt", dir / "other.txt");
    EXPECT_EQ(encrypt(dir / "linked.txt", 1).fault, Fault::several_links);
    EXPECT_EQ(read(dir / "linked.txt"), "shared");
    EXPECT_EQ(names(), (std::set<std::string>{"ro.txt", "linked.txt", "other.txt"}));
}

TEST_F(Pipeline, SymbolicLinksAreFollowedAndStayLinks) {
    fsys::create_directories(dir / "real");
    write(dir / "real" / "data.txt", "through a link");
    fsys::create_symlink("real/data.txt", dir / "link.txt");
    ASSERT_EQ(encrypt(dir / "link.txt", 1).status, Status::done);
    EXPECT_TRUE(fsys::is_symlink(dir / "link.txt"));
    EXPECT_EQ(classify_file((dir / "real" / "data.txt").string()).kind, kind_encrypted_compressed);
    EXPECT_EQ(read(dir / "link.bak"), "through a link");  // the backup sits beside the name used
    ASSERT_EQ(decrypt(dir / "link.txt").status, Status::done);
    EXPECT_TRUE(fsys::is_symlink(dir / "link.txt"));
    EXPECT_EQ(read(dir / "real" / "data.txt"), "through a link");
}

TEST_F(Pipeline, MissingFilesAndBadArgumentsWriteNothing) {
    EXPECT_EQ(encrypt(dir / "gone.txt", 1).fault, Fault::cannot_open);
    EXPECT_EQ(pieces, "");
    write(dir / "a.txt", "x");
    EXPECT_EQ(encrypt(dir / "a.txt", 2).fault, Fault::bad_argument);
    EXPECT_EQ(decrypt_file((dir / "a.txt").string(), "secret", FileClass{1, 0, 8, {}}, run).fault, Fault::bad_argument);
    EXPECT_EQ(names(), (std::set<std::string>{"a.txt"}));
}

TEST_F(Pipeline, FailedWorkFileKeepsTheFileAndItsBackup) {
    run.work_file = (dir / "no_such_dir" / "EXa00001").string();
    write(dir / "a.txt", "alpha");
    Result r = encrypt(dir / "a.txt", 1);
    EXPECT_EQ(r.fault, Fault::work_file_failed);
    EXPECT_EQ(read(dir / "a.txt"), "alpha");
    EXPECT_EQ(read(dir / "a.bak"), "alpha");
}

// Another program cuts the file short or adds to it after its size was taken
// (here as the work file is made, right before the enciphering reads it): the
// file is never cut or padded, but left as that program left it, with no backup.
// A small file is staged before the compression, a large one beside it.
TEST_F(Pipeline, AFileThatShrankOrGrewWhileReadFailsAsItIs) {
    for (size_t size : {size_t{70000}, size_t{3} << 20})
        for (bool grow : {false, true}) {
            SCOPED_TRACE(testing::Message() << size << (grow ? " grows" : " shrinks"));
            const fsys::path file = dir / "a.txt";
            write(file, text(size));
            const std::string changed = grow ? text(size) + "more" : text(size / 2);
            run.make_work_file = [&] { return write(file, changed), true; };
            EXPECT_EQ(encrypt(file, 1).fault, Fault::cannot_open);
            EXPECT_EQ(read(file), changed);
            EXPECT_EQ(names(), (std::set<std::string>{"a.txt"}));
        }
}

TEST_F(Pipeline, CopyAndRestoreKeepTheBackupWhenTheCopyFails) {
    write(dir / "a.txt", "new");
    write(dir / "a.bak", "old");
    EXPECT_EQ(copy_file((dir / "missing").string(), (dir / "x").string()), -1);
    EXPECT_EQ(restore_from_backup((dir / "a.txt").string(), (dir / "a.bak").string(), run), 0);
    EXPECT_EQ(read(dir / "a.txt"), "old");
    EXPECT_FALSE(fsys::exists(dir / "a.bak"));
    // The destination's directory is gone: the copy fails and the backup stays.
    write(dir / "b.bak", "only copy");
    restore_from_backup((dir / "nodir" / "b.txt").string(), (dir / "b.bak").string(), run);
    EXPECT_EQ(read(dir / "b.bak"), "only copy");
    EXPECT_EQ(names(), (std::set<std::string>{"a.txt", "b.bak"}));
}

TEST_F(Pipeline, AStreamThatDoesNotDecodeBackReplacesNothing) {
    const fsys::path file = dir / "big.txt";
    const std::string original = text(3 << 20);  // several pieces, so the check runs beside the codec
    write(file, original);
    ASSERT_EQ(encrypt(file, 1).status, Status::done);
    const uint64_t stream = fsys::file_size(file) - 16;
    write(file, original);
    fsys::remove(dir / "big.bak");
    // The length header, the first coded byte, and one in the middle of the stream.
    for (uint64_t at : {uint64_t{0}, uint64_t{4}, stream / 2}) {
        run.damage_stream_at = at;
        Result r = encrypt(file, 1);
        EXPECT_EQ(r.status, Status::failed) << at;
        EXPECT_EQ(r.fault, Fault::unverified) << at;
        EXPECT_EQ(read(file), original) << at;
        EXPECT_EQ(names(), (std::set<std::string>{"big.txt"})) << at;
    }
    run.damage_stream_at = UINT64_MAX;

    // Decrypting, a stream damaged part-way is found while the inverse chain
    // runs beside the codec: nothing is written either.
    ASSERT_EQ(encrypt(file, 1).status, Status::done);
    fsys::remove(dir / "big.bak");
    std::string damaged = read(file);
    damaged.resize(damaged.size() - damaged.size() / 3);
    write(file, damaged);
    Result r = decrypt(file);
    EXPECT_EQ(r.fault, Fault::damaged);
    EXPECT_EQ(read(file), damaged);
    EXPECT_EQ(names(), (std::set<std::string>{"big.txt"}));
}

// A file worked on ahead (its own codec, its own work file) and finished at its
// turn leaves the same file, backup, pieces, draws and carried codec window as
// the usual call; a file changed in between is left for the usual call.
TEST_F(Pipeline, APreparedFileEndsAsTheUsualCallAndAChangeSendsItBack) {
    const std::string original = text(300000);
    const fsys::path serial = dir / "serial", ahead = dir / "ahead";
    fsys::create_directories(serial);
    fsys::create_directories(ahead);
    for (const int compress : {1, 0}) {
        const std::string name = compress == 1 ? "notes.txt" : "notes.zip";
        write(serial / name, original);
        write(ahead / name, original);
        for (const bool encrypting : {true, false}) {
            qx::codec::Codec other_codec, worker_codec;
            other_codec.copy_carried_state(codec);
            Random other_random = random;
            const Result usual = encrypting ? encrypt(serial / name, compress) : decrypt(serial / name);
            ASSERT_EQ(usual.status, Status::done);
            const std::string usual_pieces = pieces;

            RunContext worker = run;
            worker.codec = &worker_codec;
            worker.work_file = (dir / "EXb12345").string();
            write(worker.work_file, "");
            worker.random = nullptr;
            const uint8_t junk[qx::codec::Codec::carried_size] = {1, 2, 3};
            worker_codec.set_carried_bytes(junk, sizeof junk);
            std::unique_ptr<Prepared> prepared = prepare_file((ahead / name).string(), "secret", true, true, worker);
            ASSERT_TRUE(prepared);
            EXPECT_EQ(prepared->encrypts(), encrypting);
            RunContext at_turn = run;
            at_turn.codec = &other_codec;
            at_turn.random = &other_random;
            pieces.clear();
            std::string all;
            for (const std::string& piece : prepared->pieces()) all += piece + "|";
            ASSERT_EQ(prepared->commit(at_turn).status, Status::done);
            EXPECT_EQ(all + pieces, usual_pieces);
            EXPECT_EQ(read(ahead / name), read(serial / name));
            EXPECT_EQ(read(ahead / "notes.bak"), read(serial / "notes.bak"));
            uint8_t a[qx::codec::Codec::carried_size], b[qx::codec::Codec::carried_size];
            codec.carried_bytes(a);
            other_codec.carried_bytes(b);
            EXPECT_TRUE(std::equal(a, a + sizeof a, b)) << name << encrypting;
            EXPECT_EQ(Random(other_random).next(), Random(random).next());
        }
    }

    // Changed after its work: nothing of the work lands, the draw is not taken.
    write(ahead / "late.txt", original);
    RunContext worker = run;
    qx::codec::Codec worker_codec;
    worker.codec = &worker_codec;
    std::unique_ptr<Prepared> prepared = prepare_file((ahead / "late.txt").string(), "secret", true, true, worker);
    ASSERT_TRUE(prepared);
    write(ahead / "late.txt", original + "more");
    const Random before = random;
    EXPECT_NE(prepared->commit(run).status, Status::done);
    prepared.reset();
    EXPECT_EQ(read(ahead / "late.txt"), original + "more");
    EXPECT_FALSE(fsys::exists(ahead / "late.bak"));
    EXPECT_EQ(Random(before).next(), Random(random).next());

    // Short codec inputs, which depend on the carried window, are never done ahead.
    write(ahead / "short.txt", "tiny");
    EXPECT_FALSE(prepare_file((ahead / "short.txt").string(), "secret", true, true, worker));
    EXPECT_FALSE(prepare_file((ahead / "late.txt").string(), "secret", false, true, worker));
}
