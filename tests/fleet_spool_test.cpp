// SPDX-License-Identifier: MIT
// The fleet link's disk spool and time stamps: order, the bound, sequence
// numbers across a reopen, a corrupt file, a full disk; and an uplink whose
// broker is away keeping its messages in the spool across runs.
#include "common.h"
#include "spool.h"
#include "timestamp.h"
#include "uplink.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace vehcan;
using namespace vehcan::cli;
namespace fs = std::filesystem;

namespace {

// A scratch directory of the test's own, removed at the end.
class SpoolDir : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "vehcan-spool-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string spool_dir() const { return dir_ + "/spool"; }

    std::string dir_;
};

Outgoing numbered(int n, size_t pad = 0) {
    return {fmt::format("vehcan/test/{}", 61444 + n % 3),
            fmt::format("{{\"n\":{},\"pad\":\"{}\"}}", n, std::string(pad, 'x')), n % 7 == 0};
}

std::string payloads(const std::vector<SpooledMessage> &ms) {
    std::string s;
    for (const SpooledMessage &m : ms) {
        s += m.message.payload.substr(0, m.message.payload.find(",\"pad")) + ";";
    }
    return s;
}

// ---- time stamps ----

TEST(Timestamp, Rfc3339UtcWithMicroseconds) {
    EXPECT_EQ(rfc3339_utc(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(rfc3339_utc(1796753134575603), "2026-12-08T18:05:34.575603Z");
    EXPECT_EQ(rfc3339_utc(1709164800000001), "2024-02-29T00:00:00.000001Z");
    EXPECT_EQ(rfc3339_utc(4102444799999999), "2099-12-31T23:59:59.999999Z");
    // beyond a 32-bit time_t
    EXPECT_EQ(rfc3339_utc(2240524800123456), "2040-12-31T00:00:00.123456Z");
    EXPECT_EQ(rfc3339_utc(-1), "1969-12-31T23:59:59.999999Z");
}

TEST(Timestamp, StampAddsBothFields) {
    nlohmann::json j{{"pgn", 61444}, {"time", 1.5}};
    stamp_message(j, 1796753134575603, 42);
    EXPECT_EQ(j.dump(),
              R"({"pgn":61444,"seq":42,"time":1.5,"timestamp":"2026-12-08T18:05:34.575603Z"})");
}

// ---- order and sequence numbers ----

TEST_F(SpoolDir, HandsOutCommittedMessagesOldestFirst) {
    Spool s(spool_dir(), 1 << 20, 100);
    EXPECT_EQ(s.next_seq(), 1U);
    for (int n = 1; n <= 5; ++n) {
        s.add(numbered(n));
    }
    // nothing leaves before it is on disk
    EXPECT_TRUE(s.take(10).empty());
    EXPECT_EQ(s.waiting(), 5U);
    s.commit(6);
    EXPECT_EQ(s.stored(), 5U);
    auto first = s.take(3);
    ASSERT_EQ(first.size(), 3U);
    EXPECT_EQ(payloads(first), R"({"n":1;{"n":2;{"n":3;)");
    EXPECT_EQ(first[0].message.topic, "vehcan/test/61445");
    EXPECT_EQ(first[0].message.payload, R"({"n":1,"pad":""})");
    EXPECT_FALSE(first[0].message.retain);
    s.add(numbered(7));
    s.commit(7);
    auto rest = s.take(10);
    EXPECT_EQ(payloads(rest), R"({"n":4;{"n":5;{"n":7;)");
    EXPECT_FALSE(rest[1].message.retain);
    EXPECT_TRUE(rest[2].message.retain);
    EXPECT_TRUE(s.take(10).empty());
}

TEST_F(SpoolDir, SequenceAndUndeliveredMessagesSurviveAReopen) {
    {
        Spool s(spool_dir(), 1 << 20, 100);
        for (int n = 1; n <= 4; ++n) {
            s.add(numbered(n));
        }
        s.commit(120);
        auto out = s.take(10);
        ASSERT_EQ(out.size(), 4U);
        s.acknowledge(out[0].id);
        s.acknowledge(out[1].id);
        s.commit(121);
        EXPECT_EQ(s.stored(), 2U);
    }
    {
        Spool s(spool_dir(), 1 << 20, 100);
        EXPECT_EQ(s.next_seq(), 121U);
        EXPECT_EQ(s.waiting(), 2U);
        // the next run's messages queue behind the earlier run's
        s.add(numbered(5));
        s.commit(122);
        EXPECT_EQ(payloads(s.take(10)), R"({"n":3;{"n":4;{"n":5;)");
        // close() commits what was added after the last commit
        s.add(numbered(6));
    }
    Spool s(spool_dir(), 1 << 20, 100);
    EXPECT_EQ(s.next_seq(), 122U);
    EXPECT_EQ(payloads(s.take(10)), R"({"n":3;{"n":4;{"n":5;{"n":6;)");
}

// The open batch and the birth it needs, as a power cut leaves them: the
// next run finds them behind everything else, the birth first; a batch that
// closed clears them.
TEST_F(SpoolDir, AnOpenBatchAndItsBirthWaitBehindTheRest) {
    {
        Spool s(spool_dir(), 1 << 20, 100);
        s.add(numbered(1));
        s.set_open(numbered(3), numbered(2));
        s.commit(2);
        s.set_open(numbered(5), numbered(4)); // (the next commit's snapshot)
        s.commit(2);
    }
    {
        Spool s(spool_dir(), 1 << 20, 100);
        EXPECT_EQ(payloads(s.take(10)), R"({"n":1;{"n":4;{"n":5;)");
        s.set_open(numbered(7)); // its birth went out: the batch alone
        s.commit(3);
    }
    {
        Spool s(spool_dir(), 1 << 20, 100);
        EXPECT_EQ(payloads(s.take(10)), R"({"n":1;{"n":4;{"n":5;{"n":7;)");
        s.set_open(std::nullopt);
        s.commit(4);
    }
    Spool s(spool_dir(), 1 << 20, 100);
    EXPECT_EQ(payloads(s.take(10)), R"({"n":1;{"n":4;{"n":5;{"n":7;)");
}

TEST_F(SpoolDir, AcknowledgedMessagesLeaveAtTheNextCommit) {
    Spool s(spool_dir(), 1 << 20, 100);
    for (int n = 1; n <= 3; ++n) {
        s.add(numbered(n));
    }
    s.commit(4);
    auto out = s.take(10);
    s.acknowledge(out[1].id);
    EXPECT_EQ(s.stored(), 3U);
    s.commit(4);
    EXPECT_EQ(s.stored(), 2U);
    s.close();
    Spool again(spool_dir(), 1 << 20, 100);
    EXPECT_EQ(payloads(again.take(10)), R"({"n":1;{"n":3;)");
}

// ---- bound ----

TEST_F(SpoolDir, BoundDropsTheOldestAndCountsThem) {
    constexpr uint64_t kMax = 256 * 1024;
    constexpr int kMessages = 3000;
    Spool s(spool_dir(), kMax, 100);
    for (int n = 0; n < kMessages; ++n) {
        s.add(numbered(n, 300));
        if (n % 100 == 99) {
            s.commit(static_cast<uint64_t>(n) + 2);
            EXPECT_LE(s.bytes_used(), kMax) << "after message " << n;
        }
    }
    ASSERT_GT(s.dropped(), 0U);
    EXPECT_EQ(s.dropped() + s.stored(), static_cast<uint64_t>(kMessages));
    // what is left are the newest, in order, none missing
    auto left = s.take(kMessages);
    ASSERT_EQ(left.size(), s.stored());
    for (size_t i = 0; i < left.size(); ++i) {
        const auto n = s.dropped() + i;
        ASSERT_EQ(left[i].message.payload.substr(0, left[i].message.payload.find(',')),
                  fmt::format("{{\"n\":{}", n));
    }
    // the bound holds across a reopen too
    s.close();
    Spool again(spool_dir(), kMax, 100);
    EXPECT_EQ(again.stored(), left.size());
    EXPECT_LE(again.bytes_used(), kMax);
}

// ---- a corrupt file ----

std::vector<fs::path> set_aside_files(const std::string &dir) {
    std::vector<fs::path> found;
    for (const auto &e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("spool.db.corrupt-", 0) == 0 && name.find("-wal") == std::string::npos) {
            found.push_back(e.path());
        }
    }
    return found;
}

TEST_F(SpoolDir, NotADatabaseIsSetAsideAndANewOneStarted) {
    fs::create_directories(spool_dir());
    const std::string garbage(8192, 'G');
    std::ofstream(spool_dir() + "/spool.db") << garbage;
    testing::internal::CaptureStderr();
    Spool s(spool_dir(), 1 << 20, 100);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(s.in_memory());
    const auto aside = set_aside_files(spool_dir());
    ASSERT_EQ(aside.size(), 1U);
    EXPECT_EQ(said, fmt::format("spool: {}/spool.db is corrupt (PRAGMA quick_check: file is not a "
                                "database): moved aside to {}, a new spool started\n",
                                spool_dir(), aside[0].string()));
    // the name says when: spool.db.corrupt-YYYYMMDDTHHMMSSZ
    EXPECT_EQ(aside[0].filename().string().size(), std::string("spool.db.corrupt-").size() + 16);
    std::ifstream in(aside[0]);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, garbage);
    s.add(numbered(1));
    s.commit(2);
    EXPECT_EQ(payloads(s.take(10)), R"({"n":1;)");
}

TEST_F(SpoolDir, DamagedPagesAreFoundAtOpen) {
    {
        Spool s(spool_dir(), 1 << 22, 100);
        for (int n = 0; n < 2000; ++n) {
            s.add(numbered(n, 100));
        }
        s.commit(2001);
    }
    // one of the table's pages overwritten (the header left whole)
    {
        std::fstream f(spool_dir() + "/spool.db", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096 * 6);
        const std::string noise(4096, '\x5A');
        f.write(noise.data(), static_cast<std::streamsize>(noise.size()));
    }
    testing::internal::CaptureStderr();
    Spool s(spool_dir(), 1 << 22, 100);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("is corrupt (quick_check: "), std::string::npos) << said;
    EXPECT_EQ(set_aside_files(spool_dir()).size(), 1U);
    // the sequence numbers go on from what the damaged file still said
    EXPECT_EQ(s.next_seq(), 2001U);
    EXPECT_EQ(s.stored(), 0U);
    s.add(numbered(7));
    s.commit(2002);
    EXPECT_EQ(payloads(s.take(10)), R"({"n":7;)");
}

// ---- a full disk ----

// A 320 kB tmpfs in a mount namespace of the test's own; where mounting is
// not allowed, a file size limit of the same size (SQLite sees EFBIG rather
// than ENOSPC, and takes both as a write that failed).
class FullDisk : public SpoolDir {
  protected:
    void SetUp() override {
        SpoolDir::SetUp();
        fs::create_directories(spool_dir());
        if (unshare(CLONE_NEWNS) == 0 &&
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount("tmpfs", spool_dir().c_str(), "tmpfs", 0, "size=320k") == 0) {
            mounted_ = true;
            return;
        }
        (void)std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved_), 0);
        rlimit small = saved_;
        small.rlim_cur = 320 * 1024;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    void TearDown() override {
        if (mounted_) {
            (void)umount(spool_dir().c_str());
        } else {
            (void)setrlimit(RLIMIT_FSIZE, &saved_);
        }
        SpoolDir::TearDown();
    }
    bool mounted_ = false;
    rlimit saved_{};
};

TEST_F(FullDisk, GoesOnFromMemoryInOrder) {
    testing::internal::CaptureStderr();
    Spool s(spool_dir(), 1 << 20, 100000);
    int n = 0;
    for (; n < 20000 && !s.in_memory(); ++n) {
        s.add(numbered(n, 200));
        if (n % 50 == 49) {
            s.commit(static_cast<uint64_t>(n) + 2);
        }
    }
    ASSERT_TRUE(s.in_memory()) << "the disk never filled";
    // more messages while the disk is full, then every one comes out once, in order
    const int full_at = n;
    for (; n < full_at + 500; ++n) {
        s.add(numbered(n, 200));
        if (n % 50 == 49) {
            s.commit(static_cast<uint64_t>(n) + 2);
        }
    }
    s.commit(static_cast<uint64_t>(n) + 1);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(fmt::format("spool: cannot write {}/spool.db (", spool_dir())),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("new messages are kept in memory, at most 100000, until they are out"),
              std::string::npos)
        << said;
    EXPECT_EQ(s.dropped(), 0U);
    auto all = s.take(static_cast<size_t>(n) + 10);
    ASSERT_EQ(all.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(all[static_cast<size_t>(i)].message.payload.substr(
                      0, all[static_cast<size_t>(i)].message.payload.find(',')),
                  fmt::format("{{\"n\":{}", i));
    }
    // the disk stays full: later messages still come out, in order, from memory
    for (const SpooledMessage &m : all) {
        s.acknowledge(m.id);
    }
    s.commit(static_cast<uint64_t>(n) + 1);
    s.add(numbered(n));
    s.add(numbered(n + 1));
    s.commit(static_cast<uint64_t>(n) + 3);
    EXPECT_TRUE(s.in_memory());
    EXPECT_EQ(payloads(s.take(10)), fmt::format("{{\"n\":{};{{\"n\":{};", n, n + 1));
}

TEST_F(FullDisk, BackToDiskOnceThereIsRoom) {
    if (!mounted_) {
        GTEST_SKIP() << "no tmpfs of the test's own: a file size limit cannot be lifted by "
                        "removing another file";
    }
    // the room taken by another file, given back later (half of the 320 kB:
    // the spool's database, its log and shared memory need room to open)
    const std::string filler = spool_dir() + "/filler";
    {
        std::ofstream f(filler);
        const std::string block(4096, 'f');
        for (int i = 0; i < 40 && f; ++i) {
            f << block;
        }
    }
    testing::internal::CaptureStderr();
    Spool s(spool_dir(), 1 << 20, 100000);
    int n = 0;
    for (; n < 20000 && !s.in_memory(); ++n) {
        s.add(numbered(n, 200));
        if (n % 20 == 19) {
            s.commit(static_cast<uint64_t>(n) + 2);
        }
    }
    ASSERT_TRUE(s.in_memory()) << "the disk never filled";
    s.commit(static_cast<uint64_t>(n) + 1);
    auto before = s.take(static_cast<size_t>(n));
    ASSERT_EQ(before.size(), static_cast<size_t>(n));
    fs::remove(filler);
    s.add(numbered(n));
    s.commit(static_cast<uint64_t>(n) + 2);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find(fmt::format("spool: {}/spool.db has room again: messages go to the disk\n",
                                    spool_dir())),
              std::string::npos)
        << said;
    EXPECT_FALSE(s.in_memory());
    EXPECT_EQ(payloads(s.take(10)), fmt::format("{{\"n\":{};", n));
    s.close();
    // the message written after the disk had room is in the file
    Spool again(spool_dir(), 1 << 20, 10);
    const auto left = again.take(100000);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.back().message.payload.substr(0, left.back().message.payload.find(',')),
              fmt::format("{{\"n\":{}", n));
}

TEST_F(FullDisk, MemoryIsBoundedToo) {
    testing::internal::CaptureStderr();
    Spool s(spool_dir(), 1 << 20, 40);
    int n = 0;
    for (; n < 20000 && !s.in_memory(); ++n) {
        s.add(numbered(n, 200));
        if (n % 50 == 49) {
            s.commit(static_cast<uint64_t>(n) + 2);
        }
    }
    ASSERT_TRUE(s.in_memory());
    const int full_at = n;
    for (int i = 0; i < 100; ++i, ++n) {
        s.add(numbered(n, 200));
    }
    s.commit(static_cast<uint64_t>(n) + 1);
    (void)testing::internal::GetCapturedStderr();
    auto all = s.take(static_cast<size_t>(n));
    // on disk: everything up to the batch that failed; in memory: the newest 40
    ASSERT_GE(all.size(), 40U);
    EXPECT_EQ(all.back().message.payload.substr(0, all.back().message.payload.find(',')),
              fmt::format("{{\"n\":{}", n - 1));
    EXPECT_EQ(all[all.size() - 40].message.payload.substr(
                  0, all[all.size() - 40].message.payload.find(',')),
              fmt::format("{{\"n\":{}", n - 40));
    EXPECT_EQ(s.dropped() + all.size(), static_cast<uint64_t>(n));
    EXPECT_GT(full_at, 0);
}

// ---- the uplink with its broker away ----

TEST_F(SpoolDir, UplinkKeepsItsMessagesAndNumbersAcrossRuns) {
    MqttOptions o;
    o.url = "mqtt://127.0.0.1:1"; // nobody listens there
    o.vehicle = "spool-test";
    o.spool_dir = spool_dir();
    o.spool_flush_ms = 50;
    testing::internal::CaptureStderr();
    for (int run = 0; run < 2; ++run) {
        Uplink u(o, true);
        for (int i = 0; i < 3; ++i) {
            nlohmann::json j{{"pgn", 61444}, {"run", run}};
            stamp_message(j, 1796753134575603 + i, u.next_seq());
            u.message(i, 0, 61444, j);
        }
        const UplinkReport r = u.close(std::chrono::steady_clock::now() + std::chrono::seconds(5));
        EXPECT_EQ(r.delivered, 0U);
        EXPECT_EQ(r.unsent, run == 0 ? 3U : 6U);
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("spool: 3 messages of an earlier run in"), std::string::npos) << said;
    EXPECT_NE(said.find("the rest stays in the spool"), std::string::npos) << said;
    Spool s(spool_dir(), 1 << 20, 10);
    EXPECT_EQ(s.next_seq(), 7U);
    std::string seqs;
    for (const SpooledMessage &m : s.take(10)) {
        EXPECT_EQ(m.message.topic, "vehcan/spool-test/61444");
        const auto j = nlohmann::json::parse(m.message.payload);
        seqs += fmt::format("{}/{} ", j["run"].get<int>(), j["seq"].get<int>());
    }
    EXPECT_EQ(seqs, "0/1 0/2 0/3 1/4 1/5 1/6 ");
}

} // namespace
