// dvcp.ini beside the executable configures the log: it is read after the built-in defaults, so
// its level wins, and its file sink receives the run report.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/process.h"
#include "support/tree.h"

namespace fs = std::filesystem;
using systest::read_file;
using systest::run_program;
using systest::TempDir;
using systest::write_file;

namespace {

#ifdef DVCP_BIN
// A private copy of the program, so that its own directory holds the dvcp.ini under test.
std::string install_copy(const TempDir& dir) {
    const std::string exe = dir / "bin/dvcp";
    fs::create_directories(dir / "bin");
    fs::copy_file(DVCP_BIN, exe);
    fs::permissions(exe, fs::perms::owner_all);
    return exe;
}

TEST(DvcpIni, LevelAndLogFileComeFromTheIniBesideTheExecutable) {
    TempDir dir;
    const std::string exe = install_copy(dir);
    write_file(dir / "bin/dvcp.ini", "[log]\nlevel=info\nfile_dir=logs\nfile=run.log\n");
    fs::create_directories(dir / "src/sub");
    write_file(dir / "src/sub/a.txt", "hello");

    const auto run =
        run_program({exe, "mode=ls", "if=" + (dir / "src"), "olist=" + (dir / "list.txt")});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    // The report is written at the debug level: level=info keeps it off the console...
    EXPECT_EQ(run.err.find("file_count="), std::string::npos) << run.err;
    // ...and out of the file, which still receives the lines at or above info.
    ASSERT_TRUE(fs::exists(dir / "bin/logs/run.log"));
    EXPECT_EQ(read_file(dir / "bin/logs/run.log").find("file_count="), std::string::npos);
}

TEST(DvcpIni, FileSinkReceivesTheReportAtDebugLevel) {
    TempDir dir;
    const std::string exe = install_copy(dir);
    write_file(dir / "bin/dvcp.ini", "[log]\nlevel=dbg\nfile_dir=logs\nfile=run.log\n");
    fs::create_directories(dir / "src");
    write_file(dir / "src/a.txt", "hello");

    const auto run = run_program({exe, "if=" + (dir / "src"), "of=" + (dir / "dst")});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    const std::string log = read_file(dir / "bin/logs/run.log");
    EXPECT_NE(log.find("DEBUG"), std::string::npos) << log;
    EXPECT_NE(log.find("file_count=1"), std::string::npos) << log;
    EXPECT_EQ(read_file(dir / "dst/a.txt"), "hello");
}

TEST(DvcpIni, MissingIniKeepsTheDefaults) {
    TempDir dir;
    const std::string exe = install_copy(dir);
    fs::create_directories(dir / "src");
    const auto run =
        run_program({exe, "mode=ls", "if=" + (dir / "src"), "olist=" + (dir / "list.txt")});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    EXPECT_NE(run.err.find("file_count=0"), std::string::npos) << run.err;
}
#endif

}  // namespace
