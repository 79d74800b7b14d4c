// A dvcp.ini that names a ".pcap" log file makes dvcp write the structured record of each log
// line there, as a capture file that tshark reads frame for frame.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "lib/liblogsink/bsv_reader.h"
#include "lib/test_support/real_peer.h"
#include "support/process.h"
#include "support/tree.h"

namespace fs = std::filesystem;
using systest::read_file;
using systest::run_program;
using systest::TempDir;
using systest::write_file;

namespace {

#ifdef DVCP_BIN
std::string install_copy(const TempDir& dir) {
    const std::string exe = dir / "bin/dvcp";
    fs::create_directories(dir / "bin");
    fs::copy_file(DVCP_BIN, exe);
    fs::permissions(exe, fs::perms::owner_all);
    return exe;
}

std::string command_output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

TEST(DvcpLogPcap, IniNamedCaptureFileHoldsARecordPerLine) {
    TempDir dir;
    const std::string exe = install_copy(dir);
    write_file(dir / "bin/dvcp.ini", "[log]\nlevel=dbg\nfile_dir=logs\nfile=run.pcap\n");
    fs::create_directories(dir / "src");
    write_file(dir / "src/a.txt", "hello");

    const auto run = run_program({exe, "if=" + (dir / "src"), "of=" + (dir / "dst")});
    ASSERT_TRUE(run.exited && run.exit_code == 0) << run.describe();
    EXPECT_EQ(read_file(dir / "dst/a.txt"), "hello");

    const std::string path = dir / "bin/logs/run.pcap";
    auto file = bsvtest::parse_pcap(read_file(path));
    ASSERT_TRUE(file.has_value()) << "not a global header and whole frames";
    EXPECT_EQ(147u, file->link_type);
    ASSERT_FALSE(file->frames.empty());
    bool report_seen = false;
    uint32_t pid = 0;
    for (const bsvtest::pcap_frame& frame : file->frames) {
        EXPECT_EQ(frame.captured, frame.original);
        auto record = bsvtest::parse_record(frame.data, false);
        ASSERT_TRUE(record.has_value());
        ASSERT_EQ(6u, record->strings.size());
        if (pid == 0) pid = record->pid;
        EXPECT_EQ(pid, record->pid);  // one run, one process
        if (record->strings[5].find("file_count=1") != std::string::npos) report_seen = true;
    }
    EXPECT_TRUE(report_seen) << "the run report is logged at the debug level";

    if (command_output("command -v tshark 2>/dev/null").empty()) {
        DV_PEER_MISSING("tshark is not installed (scripts/setup.sh installs it)");
    }
    std::istringstream lengths(
        command_output("tshark -r '" + path + "' -T fields -e frame.len 2>/dev/null"));
    size_t index = 0;
    for (std::string row; std::getline(lengths, row); ++index) {
        ASSERT_LT(index, file->frames.size());
        EXPECT_EQ(std::to_string(file->frames[index].captured), row);
    }
    EXPECT_EQ(file->frames.size(), index);
}
#endif

}  // namespace
