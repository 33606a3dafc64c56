// File rules of the report writers: which codes may name a file, and whole-file writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "report_files.hpp"

namespace fs = std::filesystem;
using quarvel::core::is_file_safe_code;
using quarvel::core::write_file_atomically;

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

TEST(FileSafeCode, PlainCodesAccepted) {
    for (const char *code : {"2330", "TXFR1", "0050", "MXF202501", "a.b", "中華電"})
        EXPECT_TRUE(is_file_safe_code(code)) << code;
}

TEST(FileSafeCode, PathPartsRefused) {
    using namespace std::string_literals;
    for (const std::string &code :
         {""s, "/"s, "a/b"s, "..\\x"s, "a\\b"s, ".."s, "a..b"s, "../2330"s,
          "23\0"s
          "30"s})
        EXPECT_FALSE(is_file_safe_code(code)) << code;
}

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
