// Whole-file writes of the report writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "report_files.hpp"

namespace fs = std::filesystem;
using quarvel::core::ledger::write_file_atomically;

namespace {

std::string read_all(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TempFolder {
    fs::path path;
    TempFolder() {
        path = fs::temp_directory_path() /
               ("quarvel-report-files-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempFolder() { fs::remove_all(path); }
    size_t entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(path), {}));
    }
};

} // namespace

TEST(AtomicWrite, NewFileHoldsHeadThenBody) {
    TempFolder folder;
    fs::path target = folder.path / "report.csv";
    ASSERT_EQ(write_file_atomically(target.string(), "\xEF\xBB\xBF", "a,b\n1,2\n"), 0);
    EXPECT_EQ(read_all(target), "\xEF\xBB\xBF"
                                "a,b\n1,2\n");
    EXPECT_EQ(folder.entries(), 1u);
}

TEST(AtomicWrite, ExistingFileReplacedWhole) {
    TempFolder folder;
    fs::path target = folder.path / "report.html";
    std::ofstream(target) << std::string(10000, 'x');
    ASSERT_EQ(write_file_atomically(target.string(), "", "short"), 0);
    EXPECT_EQ(read_all(target), "short");
    EXPECT_EQ(folder.entries(), 1u);
}

TEST(AtomicWrite, MissingFolderReportsErrnoAndWritesNothing) {
    TempFolder folder;
    fs::path target = folder.path / "missing" / "report.html";
    EXPECT_EQ(write_file_atomically(target.string(), "", "x"), ENOENT);
    EXPECT_EQ(folder.entries(), 0u);
}

TEST(AtomicWrite, RenameOntoFolderFailsAndLeavesNoTemporaryFile) {
    TempFolder folder;
    fs::path target = folder.path / "report.html";
    fs::create_directory(target);
    EXPECT_EQ(write_file_atomically(target.string(), "", "x"), EISDIR);
    EXPECT_EQ(folder.entries(), 1u);
    EXPECT_TRUE(fs::is_directory(target));
}
