// One host sequence, the same results and codes in working mode 1 (files under BASE_DIR)
// and in working mode 2 (the real file server on loopback).
#include <string>
#include <utility>
#include <vector>

#include "runtime/state.h"
#include "tests/library_server_fixture.h"

namespace gavo::test {
namespace {

using Results = std::vector<std::pair<std::string, int>>;

class ParityTest : public LibraryServerTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        LibraryServerTest::SetUp();
        start_server();
        write_mode_ini(GetParam());
        ASSERT_EQ(NFile_Init(), 1);
        ASSERT_EQ(gavo::lib::fsmode.load(), GetParam());
    }
    // Runs `open` with a record and gives the code it returned or threw.
    template <class F>
    static int caught(F open) {
        try {
            return open();
        } catch (CNFileException* e) {
            return e->GetErrCode();
        }
    }
    // The host sequence; every step's result under its name.
    Results run_sequence() {
        Results r;
        CNFileException record;
        {
            CNFile file;
            r.emplace_back("open create in subfolder", file.Open("sub\\dir/a.txt", 0x0A));
            r.emplace_back("write", static_cast<int>(file.WriteEx("hello world", 11)));
            file.Close();
            r.emplace_back("closed", file.IsOpened());
            r.emplace_back("openex length", file.OpenEx("sub/dir/a.txt", 0x01));
            char buf[32] = {};
            r.emplace_back("read", static_cast<int>(file.Read(buf, sizeof buf)));
            r.emplace_back("read back", std::string(buf) == "hello world");
            file.Close();
        }
        r.emplace_back("rename", CNFile::Rename("sub/dir/a.txt", "sub/dir/b.txt"));
        {
            CNFile other;
            r.emplace_back("open create other", other.Open("sub/dir/c.txt", 0x0A));
        }
        r.emplace_back("rename onto existing", CNFile::Rename("sub/dir/b.txt", "sub/dir/c.txt"));
        r.emplace_back("exists renamed", CNFile::IsExist("sub/dir/b.txt"));
        r.emplace_back("exists old name", CNFile::IsExist("sub/dir/a.txt"));
        r.emplace_back("remove", CNFile::Remove("sub/dir/b.txt"));
        r.emplace_back("remove missing", CNFile::Remove("sub/dir/b.txt"));
        {
            CNFile missing;
            r.emplace_back("open missing", missing.Open("sub/dir/none.txt", 0x01));
            r.emplace_back("open missing, record",
                           caught([&] { return missing.Open("sub/dir/none.txt", 0x01, &record); }));
        }
        {
            CNFile holder, second;
            r.emplace_back("open exclusive", holder.Open("sub/dir/c.txt", 0x21));
            r.emplace_back("sharing conflict", second.Open("sub/dir/c.txt", 0x01));
            r.emplace_back("sharing conflict, record",
                           caught([&] { return second.Open("sub/dir/c.txt", 0x01, &record); }));
        }
        {
            CNFile blocked;
            // A file stands where a folder should be: the open fails again after the
            // folders were "made" (the file counts as present).
            r.emplace_back("file as folder, record", caught([&] {
                               return blocked.Open("sub/dir/c.txt/x.txt", 0x0A, &record);
                           }));
            // A folder beneath that file cannot be created.
            r.emplace_back("uncreatable folder, record", caught([&] {
                               return blocked.Open("sub/dir/c.txt/deeper/x.txt", 0x0A, &record);
                           }));
        }
        return r;
    }
};

TEST_P(ParityTest, HostSequenceGivesTheSameResultsInBothWorkingModes) {
    const Results expected = {
        {"open create in subfolder", 0},
        {"write", 11},
        {"closed", 0},
        {"openex length", 11},
        {"read", 11},
        {"read back", 1},
        {"rename", 0},
        {"open create other", 0},
        {"rename onto existing", -103},
        {"exists renamed", 1},
        {"exists old name", 0},
        {"remove", 0},
        {"remove missing", -102},
        {"open missing", -102},
        {"open missing, record", -102},
        {"open exclusive", 0},
        {"sharing conflict", -1},
        {"sharing conflict, record", -1},
        {"file as folder, record", -107},
        {"uncreatable folder, record", -108},
    };
    const Results got = run_sequence();
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]);
}

// The one difference the two working modes keep: without a record, a local open whose
// folders cannot be created returns -1 (the record would get -108), while the server's
// -108 reaches the host unchanged, as every code of the server does.
TEST_P(ParityTest, UncreatableFolderWithoutARecordDiffersOnlyInTheReturnedCode) {
    CNFile blocked;
    ASSERT_EQ(blocked.Open("f.txt", 0x0A), 0);
    blocked.Close();
    EXPECT_EQ(blocked.Open("f.txt/deeper/x.txt", 0x0A), GetParam() == 1 ? -1 : -108);
    EXPECT_NE(error_log().find(GetParam() == 1 ? ",OpenFile,-108," : ",OpenNet,-108,"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(WorkingMode, ParityTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return p.param == 1 ? std::string("Local") : std::string("Server");
                         });

}  // namespace
}  // namespace gavo::test
