// The local file layer: full paths, folder creation, CFile and its error numbers.
#include "nfile/cfile.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/wait.h>  // the second host of the sharing test is a forked process
#endif
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "proto/os_error.h"
#include "tests/test_support.h"

namespace {

using gavo::test::Call;
using gavo::test::read_file;
using gavo::test::write_file;

bool is_dir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

// Runs `op`, which must throw a CFileException*, and returns its OS error (0 if none).
template <typename Op>
long thrown_error(Op op) {
    try {
        op();
    } catch (CFileException* e) {
        long err = e->m_lOsError;
        delete e;
        return err;
    }
    return 0;
}

class CFileTest : public gavo::test::LibraryTest {};

constexpr unsigned kRead = 0x8000, kWrite = 0x8001, kReadWrite = 0x8002, kCreate = 0x1000;
constexpr unsigned kShareNone = 0x40, kExclusive = 0x10, kDenyWrite = 0x20;

}  // namespace

// --- full local path -------------------------------------------------------------

TEST(FullPathTest, BaseDirDropsOneLeadingSeparatorOnly) {
    char out[kFullPathSize];
    ASSERT_TRUE(nfile_full_path("D:\\data\\", "\\x\\y.bin", out, sizeof out));
    EXPECT_STREQ(out, "D:\\data\\x\\y.bin");
    ASSERT_TRUE(nfile_full_path("D:\\data\\", "x\\y.bin", out, sizeof out));
    EXPECT_STREQ(out, "D:\\data\\x\\y.bin");
    ASSERT_TRUE(nfile_full_path("D:\\data\\", "/x", out, sizeof out));
    EXPECT_STREQ(out, "D:\\data\\x");
    ASSERT_TRUE(nfile_full_path("D:\\data\\", "\\\\x", out, sizeof out));
    EXPECT_STREQ(out, "D:\\data\\\\x");
    ASSERT_TRUE(nfile_full_path("D:\\data\\", "..\\x", out, sizeof out));  // may leave the base
    EXPECT_STREQ(out, "D:\\data\\..\\x");
}

// A program the host starts must not inherit the library's files, logs and sockets.
TEST(PlatformTest, FilesLogsAndSocketsAreOpenedCloseOnExec) {
    gavo::Platform posix;
    FILE* log = posix.fopen("/dev/null", "a+");
    ASSERT_NE(log, nullptr);
    EXPECT_NE(fcntl(fileno(log), F_GETFD) & FD_CLOEXEC, 0);
    fclose(log);
    for (int fd : {posix.open("/dev/null", O_RDONLY, 0), posix.socket(AF_INET, SOCK_STREAM, 0)}) {
        ASSERT_GE(fd, 0);
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        ::close(fd);
    }
}

TEST(FullPathTest, WithoutBaseDirTheNameStaysAsGiven) {
    char out[kFullPathSize];
    ASSERT_TRUE(nfile_full_path("", "\\x\\y.bin", out, sizeof out));
    EXPECT_STREQ(out, "\\x\\y.bin");
    ASSERT_TRUE(nfile_full_path(nullptr, "/abs/f", out, sizeof out));
    EXPECT_STREQ(out, "/abs/f");
}

TEST(FullPathTest, PathThatDoesNotFitIsRefusedWithoutWritingPastTheBuffer) {
    char guarded[kFullPathSize + 16];
    std::memset(guarded, 'G', sizeof guarded);
    std::string base(300, 'b');
    std::string fits(199, 'n'), too_long(200, 'n');
    EXPECT_TRUE(nfile_full_path(base.c_str(), fits.c_str(), guarded, kFullPathSize));
    EXPECT_EQ(std::strlen(guarded), 499u);
    EXPECT_FALSE(nfile_full_path(base.c_str(), too_long.c_str(), guarded, kFullPathSize));
    EXPECT_STREQ(guarded, "");
    EXPECT_FALSE(nfile_full_path("", std::string(500, 'n').c_str(), guarded, kFullPathSize));
    for (size_t i = kFullPathSize; i < sizeof guarded; ++i) EXPECT_EQ(guarded[i], 'G');
    EXPECT_FALSE(nfile_full_path("", nullptr, guarded, kFullPathSize));
}

TEST(FullPathTest, BackslashesBecomeSlashesForTheFileSystem) {
    EXPECT_EQ(nfile_posix_path("data\\a\\b/c.txt"), "data/a/b/c.txt");
}

// --- folder creation -------------------------------------------------------------

TEST_F(CFileTest, MakeDirsCreatesEveryFolderButNeverTheFileItself) {
    EXPECT_EQ(nfile_make_dirs((dir_ + "a\\b/c\\f.dat").c_str()), 0);
    EXPECT_TRUE(is_dir(path("a/b/c")));
    EXPECT_FALSE(exists(path("a/b/c/f.dat")));
    EXPECT_EQ(nfile_make_dirs((dir_ + "d\\").c_str()), 0);  // name plus separator: one folder
    EXPECT_TRUE(is_dir(path("d")));
}

TEST_F(CFileTest, MakeDirsOfABareNameOrALoneSeparatorDoesNothing) {
    EXPECT_EQ(nfile_make_dirs("bare.dat"), 0);
    EXPECT_EQ(nfile_make_dirs("\\"), 0);
    EXPECT_EQ(nfile_make_dirs("/"), 0);
    EXPECT_EQ(platform_->calls(Call::Mkdir), 0);
}

TEST_F(CFileTest, MakeDirsSkipsADriveLikeComponent) {
    // "C:" is taken as a drive: never created, so the folder under it cannot be made.
    EXPECT_EQ(nfile_make_dirs((dir_ + "C:\\d1\\f").c_str()), -1);
    EXPECT_FALSE(exists(path("C:")));
    ASSERT_EQ(::mkdir(path("C:").c_str(), 0777), 0);
    EXPECT_EQ(nfile_make_dirs((dir_ + "C:\\d1\\f").c_str()), 0);
    EXPECT_TRUE(is_dir(path("C:/d1")));
}

TEST_F(CFileTest, MakeDirsTakesAFileWhereAFolderShouldBeAsExisting) {
    write_file(path("plain"), "x");
    EXPECT_EQ(nfile_make_dirs((dir_ + "plain\\f.dat").c_str()), 0);
    EXPECT_EQ(read_file(path("plain")), "x");
}

TEST_F(CFileTest, MakeDirsFailsWhenAFolderCannotBeCreated) {
    platform_->fail(Call::Mkdir, 2, EACCES);
    EXPECT_EQ(nfile_make_dirs((dir_ + "a/b/c/f").c_str()), -1);
    EXPECT_TRUE(is_dir(path("a")));  // folders made before the failure stay
    EXPECT_FALSE(exists(path("a/b")));
}

namespace {
// Creates the folder just before the real mkdir, as a thread racing us would.
class RacingMkdirPlatform : public gavo::test::FaultPlatform {
public:
    using FaultPlatform::FaultPlatform;
    int mkdir(const char* p, mode_t m) override {
        ::mkdir(p, m);
        return FaultPlatform::mkdir(p, m);
    }
};
}  // namespace

TEST_F(CFileTest, MakeDirsLosingACreationRaceStillSucceeds) {
    RacingMkdirPlatform racing(dir_);
    gavo::set_platform(&racing);
    EXPECT_EQ(nfile_make_dirs((dir_ + "r1/r2/f").c_str()), 0);
    gavo::set_platform(platform_);
    EXPECT_TRUE(is_dir(path("r1/r2")));
}

// --- open ------------------------------------------------------------------------

TEST_F(CFileTest, MissingFileAndMissingFolderAreToldApart) {
    CFile f;
    CFileException e;
    EXPECT_FALSE(f.Open(path("none.dat").c_str(), kRead, &e));
    EXPECT_EQ(e.m_lOsError, 2);
    EXPECT_EQ(e.m_strFileName, path("none.dat"));
    EXPECT_FALSE(f.Open((dir_ + "nodir\\none.dat").c_str(), kRead, &e));
    EXPECT_EQ(e.m_lOsError, 3);
    EXPECT_FALSE(f.Open((dir_ + "nodir\\none.dat").c_str(), kWrite | kCreate, &e));
    EXPECT_EQ(e.m_lOsError, 3);
    write_file(path("plain"), "x");
    EXPECT_FALSE(f.Open((dir_ + "plain\\f.dat").c_str(), kWrite | kCreate, &e));
    EXPECT_EQ(e.m_lOsError, 3);  // a file where a folder should be
}

TEST_F(CFileTest, AFolderIsNotOpenedAsAFile) {
    CFile f;
    CFileException e;
    EXPECT_FALSE(f.Open(dir_.c_str(), kRead, &e));
    EXPECT_EQ(e.m_lOsError, 5);
}

TEST_F(CFileTest, CreateCutsAnExistingFileAndBackslashesReachTheRightFile) {
    ::mkdir(path("sub").c_str(), 0777);
    write_file(path("sub/f.dat"), "old contents");
    CFile f;
    ASSERT_TRUE(f.Open((dir_ + "sub\\f.dat").c_str(), kWrite | kCreate, nullptr));
    EXPECT_EQ(f.GetLength(), 0u);
    f.Write("new", 3);
    f.Close();
    EXPECT_EQ(read_file(path("sub/f.dat")), "new");
}

TEST_F(CFileTest, PathOf500CharactersIsRefusedBeforeTheSystemIsAsked) {
    std::string name = dir_ + std::string(500 - dir_.size(), 'n');
    CFile f;
    CFileException e;
    EXPECT_FALSE(f.Open(name.c_str(), kWrite | kCreate, &e));
    EXPECT_EQ(e.m_lOsError, 206);
    EXPECT_EQ(platform_->calls(Call::Open), 0);
}

TEST_F(CFileTest, PathOf499CharactersIsAccepted) {
    std::string folder = dir_ + std::string(200, 'd');
    ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
    folder += "/" + std::string(200, 'e');
    ASSERT_EQ(::mkdir(folder.c_str(), 0777), 0);
    std::string name = folder + "/" + std::string(499 - folder.size() - 1, 'f');
    ASSERT_EQ(name.size(), 499u);
    CFile f;
    CFileException e;
    EXPECT_TRUE(f.Open(name.c_str(), kWrite | kCreate, &e)) << e.m_lOsError;
}

TEST_F(CFileTest, ReadOnlyCreateRefusesWrites) {
    CFile f;
    ASSERT_TRUE(f.Open(path("ro.dat").c_str(), kRead | kCreate, nullptr));
    EXPECT_EQ(thrown_error([&] { f.Write("x", 1); }), 5);
    EXPECT_EQ(f.GetLength(), 0u);
}

// --- sharing ---------------------------------------------------------------------

TEST_F(CFileTest, ConflictingOpenFailsWithSharingViolationAndCutsNothing) {
    write_file(path("s.dat"), "keep me");
    CFile first, second;
    ASSERT_TRUE(first.Open(path("s.dat").c_str(), kRead | kExclusive, nullptr));
    CFileException e;
    EXPECT_FALSE(second.Open(path("s.dat").c_str(), kWrite | kCreate | kShareNone, &e));
    EXPECT_EQ(e.m_lOsError, 32);
    EXPECT_EQ(read_file(path("s.dat")), "keep me");
    first.Close();
    EXPECT_TRUE(second.Open(path("s.dat").c_str(), kRead | kShareNone, nullptr));
}

TEST_F(CFileTest, DenyWriteAdmitsReadersAndRefusesWriters) {
    write_file(path("s.dat"), "data");
    CFile holder, reader, writer;
    ASSERT_TRUE(holder.Open(path("s.dat").c_str(), kRead | kDenyWrite, nullptr));
    EXPECT_TRUE(reader.Open(path("s.dat").c_str(), kRead | kDenyWrite, nullptr));
    CFileException e;
    EXPECT_FALSE(writer.Open(path("s.dat").c_str(), kReadWrite | kShareNone, &e));
    EXPECT_EQ(e.m_lOsError, 32);
}

#ifndef _WIN32  // Windows holds other processes off by its own share modes
// Another process that holds the file open (a second host in working mode 1) holds this
// one off too, from opening, removing and renaming it, until it ends.
TEST_F(CFileTest, AnotherProcessesOpenHoldsOffOpensRemovesAndRenames) {
    write_file(path("s.dat"), "data");
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    const pid_t child = fork();
    if (child == 0) {
        CFile held;
        char c = held.Open(path("s.dat").c_str(), kRead | kDenyWrite, nullptr) ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(done[0], &c, 1) < 0) _exit(1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    const struct {
        unsigned mode;
        bool admitted;
    } cases[] = {
        {kRead | kDenyWrite, true}, {kRead | kExclusive, false}, {kWrite | kShareNone, false}};
    for (const auto& m : cases) {
        CFile f;
        CFileException e;
        EXPECT_EQ(f.Open(path("s.dat").c_str(), m.mode, &e), m.admitted) << std::hex << m.mode;
        if (!m.admitted) {
            EXPECT_EQ(e.m_lOsError, 32);
        }
    }
    EXPECT_EQ(thrown_error([&] { CFile::Remove(path("s.dat").c_str()); }), 32);
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("s.dat").c_str(), path("x").c_str()); }), 32);
    ASSERT_EQ(write(done[1], &c, 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
    CFile after;
    EXPECT_TRUE(after.Open(path("s.dat").c_str(), kWrite | kExclusive, nullptr));
}
#endif

TEST_F(CFileTest, SameFileUnderAnotherNameIsStillTheSameFile) {
    write_file(path("s.dat"), "data");
    ASSERT_EQ(::link(path("s.dat").c_str(), path("alias.dat").c_str()), 0);
    CFile a, b;
    ASSERT_TRUE(a.Open(path("s.dat").c_str(), kRead | kExclusive, nullptr));
    EXPECT_FALSE(b.Open(path("alias.dat").c_str(), kRead | kShareNone, nullptr));
}

TEST_F(CFileTest, OpenFileIsNeitherRemovedNorRenamed) {
    write_file(path("busy.dat"), "data");
    {
        CFile f;
        ASSERT_TRUE(f.Open(path("busy.dat").c_str(), kRead | kShareNone, nullptr));
        EXPECT_EQ(thrown_error([&] { CFile::Remove(path("busy.dat").c_str()); }), 32);
        EXPECT_EQ(thrown_error([&] { CFile::Rename(path("busy.dat").c_str(), path("x").c_str()); }),
                  32);
        EXPECT_TRUE(exists(path("busy.dat")));
    }
    CFile::Remove(path("busy.dat").c_str());  // the destroyed object released the file
    EXPECT_FALSE(exists(path("busy.dat")));
}

// --- read, write, seek, close ----------------------------------------------------

TEST_F(CFileTest, ZeroCountsTouchNothing) {
    write_file(path("z.dat"), "abc");
    CFile f;
    ASSERT_TRUE(f.Open(path("z.dat").c_str(), kReadWrite, nullptr));
    int reads = platform_->calls(Call::Read), writes = platform_->calls(Call::Write);
    EXPECT_EQ(f.Read(nullptr, 0), 0u);
    f.Write(nullptr, 0);
    EXPECT_EQ(platform_->calls(Call::Read), reads);
    EXPECT_EQ(platform_->calls(Call::Write), writes);
}

TEST_F(CFileTest, ReadStopsAtTheEndOfTheFile) {
    write_file(path("r.dat"), "abcdef");
    CFile f;
    ASSERT_TRUE(f.Open(path("r.dat").c_str(), kRead, nullptr));
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, 4), 4u);
    EXPECT_EQ(f.Read(buf + 4, 10), 2u);
    EXPECT_EQ(std::string(buf), "abcdef");
    EXPECT_EQ(f.Read(buf, 10), 0u);
}

TEST_F(CFileTest, DiskFullAndIoErrorsAreThrownWithTheirNumbers) {
    CFile f;
    ASSERT_TRUE(f.Open(path("e.dat").c_str(), kReadWrite | kCreate, nullptr));
    platform_->fail(Call::Write, 1, ENOSPC);
    EXPECT_EQ(thrown_error([&] { f.Write("abc", 3); }), 112);
    platform_->fail(Call::Read, 1, EIO);
    char buf[4];
    EXPECT_EQ(thrown_error([&] { f.Read(buf, sizeof buf); }), 23);
    EXPECT_EQ(nfile_map_os_error(23), -105);
}

namespace {
// Writes at most one byte per call and then nothing at all: a device filling up.
class FillingPlatform : public gavo::test::FaultPlatform {
public:
    using FaultPlatform::FaultPlatform;
    ssize_t write(int fd, const void* b, size_t n) override {
        if (room_ == 0) return 0;
        --room_;
        return FaultPlatform::write(fd, b, n < 1 ? n : 1);
    }
    int room_ = 2;
};
}  // namespace

TEST_F(CFileTest, ShortWriteIsCompletedOrThrownAsDiskFullWithoutOsError) {
    CFile f;
    ASSERT_TRUE(f.Open(path("short.dat").c_str(), kWrite | kCreate, nullptr));
    FillingPlatform filling(dir_);
    gavo::set_platform(&filling);
    EXPECT_EQ(thrown_error([&] { f.Write("abcdef", 6); }), -1);
    gavo::set_platform(platform_);
    f.Close();
    EXPECT_EQ(read_file(path("short.dat")), "ab");
}

TEST_F(CFileTest, DevFullThrowsDiskFull) {
    CFile f;
    CFileException e;
    if (!f.Open("/dev/full", kWrite, &e)) GTEST_SKIP() << "no /dev/full: " << e.m_lOsError;
    EXPECT_EQ(thrown_error([&] { f.Write("x", 1); }), 112);
}

TEST_F(CFileTest, FailedCloseThrowsAfterReleasingTheFile) {
    CFile f;
    ASSERT_TRUE(f.Open(path("c.dat").c_str(), kWrite | kCreate | kExclusive, nullptr));
    platform_->fail(Call::Close, 1, EIO);
    EXPECT_EQ(thrown_error([&] { f.Close(); }), 23);
    EXPECT_TRUE(f.GetFilePath().empty());
    f.Close();  // closed: nothing happens
    CFile again;
    EXPECT_TRUE(again.Open(path("c.dat").c_str(), kRead | kExclusive, nullptr));
}

TEST_F(CFileTest, OperationsOnAClosedFileThrowInvalidHandle) {
    CFile f;
    char buf[1];
    EXPECT_EQ(thrown_error([&] { f.Read(buf, 1); }), 6);
    EXPECT_EQ(thrown_error([&] { f.GetLength(); }), 6);
    EXPECT_EQ(thrown_error([&] { f.Seek(0, CFile::begin); }), 6);
}

TEST_F(CFileTest, FilesBeyondFourGigabytesUse64BitOffsets) {
    const uint64_t big = (uint64_t{1} << 32) + 1000;
    {
        CFile f;
        ASSERT_TRUE(f.Open(path("big.dat").c_str(), kReadWrite | kCreate, nullptr));
        EXPECT_EQ(f.Seek(static_cast<int64_t>(big) - 1, CFile::begin), big - 1);
        f.Write("z", 1);
        EXPECT_EQ(f.GetLength(), big);
        EXPECT_EQ(f.Seek(-1, CFile::end), big - 1);
        char c = 0;
        EXPECT_EQ(f.Read(&c, 1), 1u);
        EXPECT_EQ(c, 'z');
        EXPECT_EQ(thrown_error([&] { f.Seek(-1, CFile::begin); }), 131);
    }
}

// --- rename and remove -----------------------------------------------------------

TEST_F(CFileTest, RenameNeverReplacesAnExistingEntry) {
    write_file(path("a.dat"), "source");
    write_file(path("b.dat"), "target");
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("a.dat").c_str(), path("b.dat").c_str()); }),
              183);
    EXPECT_EQ(read_file(path("a.dat")), "source");
    EXPECT_EQ(read_file(path("b.dat")), "target");
}

TEST_F(CFileTest, RenameTellsAMissingSourceFromAMissingTargetFolder) {
    write_file(path("a.dat"), "x");
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("none").c_str(), path("b").c_str()); }), 2);
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("nodir/none").c_str(), path("b").c_str()); }),
              3);
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("a.dat").c_str(), path("nodir/b").c_str()); }),
              3);
    CFile::Rename((dir_ + "a.dat").c_str(), (dir_ + "moved.dat").c_str());
    EXPECT_EQ(read_file(path("moved.dat")), "x");
}

TEST_F(CFileTest, RenameAcrossFileSystemsCopiesAndDeletes) {
    write_file(path("a.dat"), std::string(200000, 'q'));
    ::chmod(path("a.dat").c_str(), 0640);
    platform_->fail(Call::Rename, 1, EXDEV);
    CFile::Rename(path("a.dat").c_str(), path("b.dat").c_str());
    EXPECT_FALSE(exists(path("a.dat")));
    EXPECT_EQ(read_file(path("b.dat")), std::string(200000, 'q'));
    struct stat st;
    ASSERT_EQ(::stat(path("b.dat").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(CFileTest, RenameAcrossFileSystemsNeverOverwritesAndLeavesNoHalfCopy) {
    write_file(path("a.dat"), "source");
    write_file(path("b.dat"), "target");
    platform_->fail(Call::Rename, 1, EXDEV);
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("a.dat").c_str(), path("b.dat").c_str()); }),
              183);
    EXPECT_EQ(read_file(path("b.dat")), "target");
    platform_->fail(Call::Rename, 1, EXDEV);
    platform_->fail(Call::Write, 1, ENOSPC);
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("a.dat").c_str(), path("c.dat").c_str()); }),
              112);
    EXPECT_FALSE(exists(path("c.dat")));
    EXPECT_EQ(read_file(path("a.dat")), "source");
    ::mkdir(path("folder").c_str(), 0777);
    platform_->fail(Call::Rename, 1, EXDEV);
    EXPECT_EQ(thrown_error([&] { CFile::Rename(path("folder").c_str(), path("f2").c_str()); }), 17);
}

TEST_F(CFileTest, RemoveOfAFolderIsAccessDeniedAndOfAMissingFileNotFound) {
    ::mkdir(path("folder").c_str(), 0777);
    EXPECT_EQ(thrown_error([&] { CFile::Remove(path("folder").c_str()); }), 5);
    EXPECT_TRUE(is_dir(path("folder")));
    EXPECT_EQ(thrown_error([&] { CFile::Remove(path("none").c_str()); }), 2);
    EXPECT_EQ(thrown_error([&] { CFile::Remove(path("nodir/none").c_str()); }), 3);
}

TEST_F(CFileTest, ExistsSeesFilesAndFolders) {
    write_file(path("f"), "x");
    EXPECT_TRUE(CFile::Exists(path("f").c_str()));
    EXPECT_TRUE(CFile::Exists(dir_.c_str()));
    EXPECT_FALSE(CFile::Exists(path("none").c_str()));
    EXPECT_FALSE(CFile::Exists(nullptr));
}
