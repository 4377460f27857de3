// SPDX-License-Identifier: BSD-2-Clause
// The metrics file: its exact text for known counters, its replacement by
// rename, and a failed write told once until one succeeds.
#include "metrics/metrics.h"
#include "recv/recv_test.h"
#include "support/reset.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "clock/clock.h"
#include "clock/clock_test.h"
#include "common/counters.h"
#include "dest/dest_hash.h"
#include "dest/dest_pool.h"
#include "log/log.h"
#include "common/settings.h"
#include "support/child.h"

namespace {

// 2024-05-06 07:08:09.000042 UTC.
constexpr int64_t kSec = 1714979289;
const std::string kStamp = "2024-05-06T07:08:09.000042+00:00";

class MetricsTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetTimeZone("UTC0");
        Settings = SettingsRecord{};
        Settings.maxopen = 5;
        Settings.metrics = "m.prom";
        Clock = ClockRecord{};
        Clock_UpdateAt(&Clock, kSec, 42);
        Totals = TotalsRecord{};
        DestPool_Init();
        DestHash_Init(Settings.maxopen);
        sock = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(sock, 0);
        Log_Open();
    }
    void TearDown() override {
        DestPool_CloseAll();
        Log_Close();
        close(sock);
        Totals = TotalsRecord{};
        Settings = SettingsRecord{};
    }

    int sock = -1;
    InTempDir dir_;
};

// Each family as the text exposition format wants it.
std::string Family(const std::string& name, const std::string& type, const std::string& help,
                   const std::string& samples) {
    return "# HELP corvashenmir_" + name + " " + help + "\n# TYPE corvashenmir_" + name + " " + type + "\n" +
           samples;
}

TEST_F(MetricsTest, TextOfKnownCounters) {
    Udp_TestAdopt(sock);
    Metrics_Open();
    Totals = {1001, 212345, 900, 40, 30, 20, 11, 3, 7, 55, 9, 2, kSec + 5, 123, 0};
    // One source with an open file and one marked as failed.
    ASSERT_EQ(mkdir("10.0.0.1", 0700), 0);
    ASSERT_EQ(mkdir("10.0.0.2", 0700), 0);
    ASSERT_EQ(mkdir("10.0.0.2/10.0.0.2-2024050607", 0700), 0);
    in_addr a{};
    inet_aton("10.0.0.1", &a);
    ASSERT_TRUE(OpenPooled(Addr_FromV4(a.s_addr)));
    inet_aton("10.0.0.2", &a);
    ASSERT_FALSE(OpenPooled(Addr_FromV4(a.s_addr)));
    Metrics_Write();

    int rcvbuf = 0;
    socklen_t len = sizeof rcvbuf;
    ASSERT_EQ(getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, &len), 0);
    const std::string want =
        Family("received_datagrams_total", "counter", "Datagrams taken from the socket.",
               "corvashenmir_received_datagrams_total 1001\n") +
        Family("received_bytes_total", "counter", "Bytes of the datagrams taken from the socket.",
               "corvashenmir_received_bytes_total 212345\n") +
        Family("stored_datagrams_total", "counter", "Datagrams handed to their source's file below its size cap.",
               "corvashenmir_stored_datagrams_total 900\n") +
        Family("dropped_datagrams_total", "counter", "Datagrams not stored, by reason.",
               "corvashenmir_dropped_datagrams_total{reason=\"failed_source\"} 40\n"
               "corvashenmir_dropped_datagrams_total{reason=\"open_rate\"} 30\n"
               "corvashenmir_dropped_datagrams_total{reason=\"open_burst\"} 20\n"
               "corvashenmir_dropped_datagrams_total{reason=\"size_cap\"} 11\n"
               "corvashenmir_dropped_datagrams_total{reason=\"kernel_queue_full\"} 0\n") +
        Family("cut_datagrams_total", "counter", "Datagrams longer than 8192 bytes, stored cut.",
               "corvashenmir_cut_datagrams_total 3\n") +
        Family("lost_records_total", "counter", "Records that could not be written to their file.",
               "corvashenmir_lost_records_total 7\n") +
        Family("file_opens_total", "counter", "File opens admitted by the open gate.",
               "corvashenmir_file_opens_total 55\n") +
        Family("file_evictions_total", "counter", "Open files closed to make room for another source.",
               "corvashenmir_file_evictions_total 9\n") +
        Family("daemon_log_unwritten_lines_total", "counter", "Daemon log lines that went to standard error instead.",
               "corvashenmir_daemon_log_unwritten_lines_total 2\n") +
        Family("open_files", "gauge", "Per-source files open.", "corvashenmir_open_files 1\n") +
        Family("failed_sources", "gauge",
               "Sources marked as failed: their directory exists but their file cannot be opened.",
               "corvashenmir_failed_sources 1\n") +
        Family("socket_receive_queue_bytes", "gauge", "Bytes waiting in the socket's receive queue.",
               "corvashenmir_socket_receive_queue_bytes 0\n") +
        Family("socket_receive_buffer_bytes", "gauge", "Size of the socket's receive buffer.",
               "corvashenmir_socket_receive_buffer_bytes " + std::to_string(rcvbuf) + "\n") +
        Family("last_datagram_timestamp_seconds", "gauge", "When the last datagram was received, 0 before the first.",
               "corvashenmir_last_datagram_timestamp_seconds 1714979294.000123\n") +
        Family("start_time_seconds", "gauge", "When the daemon started.",
               "corvashenmir_start_time_seconds 1714979289.000042\n") +
        Family("build_info", "gauge", "The daemon's version.", "corvashenmir_build_info{version=\"1.02\"} 1\n");
    EXPECT_EQ(ReadFile("m.prom"), want);
    EXPECT_FALSE(FileExists("m.prom.tmp"));
    struct stat st;
    ASSERT_EQ(stat("m.prom", &st), 0);
    // Readable by the collector whatever the umask.
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

// A write that cannot be made is told once, with the error, until one
// succeeds; it leaves no temporary file behind.
TEST_F(MetricsTest, FailedWriteToldOnceUntilOneSucceeds) {
    Settings.metrics = "sub/m.prom";
    Udp_TestAdopt(sock);
    Metrics_Open();
    Metrics_Write();
    ASSERT_EQ(mkdir("sub", 0700), 0);
    Metrics_Write();
    EXPECT_TRUE(FileExists("sub/m.prom"));
    // A directory in the file's place: the rename fails after the write.
    ASSERT_EQ(unlink("sub/m.prom"), 0);
    ASSERT_EQ(mkdir("sub/m.prom", 0700), 0);
    ASSERT_EQ(mkdir("sub/m.prom/keep", 0700), 0);
    Metrics_Write();
    Metrics_Write();
    EXPECT_FALSE(FileExists("sub/m.prom.tmp"));
    Log_Close();
    const std::string log = ReadFile("corvashenmir-20240506");
    const std::string first = kStamp + " warning: metrics file sub/m.prom could not be written: " + strerror(ENOENT);
    const std::string second = kStamp + " warning: metrics file sub/m.prom could not be written: " + strerror(EISDIR);
    EXPECT_EQ(log, first + "\n" + second + "\n");
    Log_Open();
}

// The socket's own drop counter is 32 bits wide: a reading past its wrap
// still adds what was dropped since the last one, and the total goes on.
TEST_F(MetricsTest, KernelDropsAreCarriedPastTheCounterWrap) {
    const std::string line = "corvashenmir_dropped_datagrams_total{reason=\"kernel_queue_full\"} ";
    auto drops = [&] {
        Metrics_Write();
        std::string text = ReadFile("m.prom");
        size_t at = text.find(line);
        return at == std::string::npos ? std::string("(none)") : text.substr(at + line.size(), text.find('\n', at) - at - line.size());
    };
    // The test's socket has dropped nothing: its counter reads 0, 16 past 2^32 - 16.
    Udp_TestAdopt(sock, UINT32_MAX - 15);
    Metrics_Open();
    EXPECT_EQ(drops(), "16");
    EXPECT_EQ(drops(), "16");
    Totals.kernelDrops = uint64_t{1} << 33;
    Udp_TestAdopt(sock, UINT32_MAX);
    EXPECT_EQ(drops(), std::to_string((uint64_t{1} << 33) + 1));
}

// Without the option nothing is written.
TEST_F(MetricsTest, NoFileWithoutTheOption) {
    Settings.metrics = nullptr;
    Udp_TestAdopt(sock);
    Metrics_Open();
    Metrics_Write();
    EXPECT_FALSE(FileExists("m.prom"));
    EXPECT_EQ(ReadFile("corvashenmir-20240506"), "");
}

}  // namespace
