#include "protocol/ethernet_counter_snapshot.h"

#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>

#include "protocol/ethernet_counter_capture.h"
#include "protocol/ethernet_run_evidence.h"
#include "protocol/record_coding.h"

namespace sorvanta {
namespace {

namespace fs = std::filesystem;

std::int64_t loopbackIndex() {
    return static_cast<std::int64_t>(::if_nametoindex("lo"));
}

void expectOnly(const EthernetCounterSnapshot& snapshot, double offset, const std::string& reason) {
    EthernetCounterSnapshot expected;
    expected.offset = offset;
    expected.reason = reason;
    EXPECT_EQ(snapshot, expected);
}

// ---------------------------------------------------------------- the real system

TEST(EthernetCounterSnapshotTest, CapturesLoopback) {
    ASSERT_GT(loopbackIndex(), 0);
    const auto first = EthernetCounterSnapshot::capture("lo", loopbackIndex(), 1.5);
    EXPECT_EQ(first.offset, 1.5);
    EXPECT_EQ(first.reason, std::nullopt);
    EXPECT_TRUE(first.rxErrors && first.txErrors && first.inputDrops);

    // Where the device directory shows this network namespace, the device's identity
    // and carrier history come with the reading.
    std::ifstream ifindex("/sys/class/net/lo/ifindex");
    std::int64_t listed = 0;
    if (ifindex >> listed && listed == loopbackIndex()) {
        struct stat status {};
        ASSERT_EQ(::stat("/sys/class/net/lo", &status), 0);
        EXPECT_EQ(first.registryID, static_cast<std::uint64_t>(status.st_ino));
        ASSERT_TRUE(first.administrativeChange);
        EXPECT_TRUE(std::regex_match(*first.administrativeChange, std::regex("-?[0-9]+:-?[0-9]+")))
            << *first.administrativeChange;
    }

    const auto second = EthernetCounterSnapshot::capture("lo", loopbackIndex(), 2.5);
    EXPECT_EQ(second.registryID, first.registryID);
    EXPECT_EQ(second.administrativeChange, first.administrativeChange);
    if (first.registryID && first.administrativeChange) {
        EthernetRunEvidence evidence;
        evidence.before = first;
        evidence.after = second;
        EXPECT_EQ(evidence.counterIntervalProblem(), std::nullopt);
        EXPECT_TRUE(evidence.delta(&EthernetCounterSnapshot::rxErrors));
    }
    EXPECT_EQ(decodeRecord<EthernetCounterSnapshot>(encodeRecord(first)), first);
}

TEST(EthernetCounterSnapshotTest, ChangedOrMissingInterface) {
    expectOnly(EthernetCounterSnapshot::capture("lo", loopbackIndex() + 1000, 3), 3,
               "Selected interface identity changed.");
    expectOnly(EthernetCounterSnapshot::capture("sv-missing0", 5, 4), 4,
               "Selected interface identity changed.");
    // A missing interface has index 0: expected 0, it passes that check but has no
    // statistics.
    expectOnly(EthernetCounterSnapshot::capture("sv-missing0", 0, 5), 5,
               "Selected interface statistics unavailable.");
    expectOnly(EthernetCounterSnapshot::capture("../lo", 0, 6), 6,
               "Selected interface statistics unavailable.");
}

// ---------------------------------------------------------------- the interface list

struct FakeEntry {
    sockaddr_storage address{};
    rtnl_link_stats statistics{};
    ifaddrs entry{};
};

class InterfaceList {
  public:
    // Appends an entry; family 0 leaves the address out, `withStatistics` false the data.
    FakeEntry& add(const char* name, int family, int index, bool withStatistics = true) {
        auto& fake = entries_.emplace_back(std::make_unique<FakeEntry>());
        fake->entry.ifa_name = const_cast<char*>(name);
        if (family != 0) {
            fake->address.ss_family = static_cast<sa_family_t>(family);
            if (family == AF_PACKET) {
                reinterpret_cast<sockaddr_ll*>(&fake->address)->sll_ifindex = index;
            }
            fake->entry.ifa_addr = reinterpret_cast<sockaddr*>(&fake->address);
        }
        if (withStatistics) {
            fake->entry.ifa_data = &fake->statistics;
        }
        if (entries_.size() > 1) {
            entries_[entries_.size() - 2]->entry.ifa_next = &fake->entry;
        }
        return *fake;
    }

    const ifaddrs* head() const { return entries_.empty() ? nullptr : &entries_.front()->entry; }

  private:
    std::vector<std::unique_ptr<FakeEntry>> entries_;
};

EthernetCounterSnapshot startSnapshot() {
    EthernetCounterSnapshot snapshot;
    snapshot.offset = 1;
    snapshot.registryID = 77;
    snapshot.reason = "Selected interface statistics unavailable.";
    return snapshot;
}

TEST(EthernetCounterSnapshotTest, FirstQualifyingPacketEntryDecides) {
    InterfaceList list;
    list.add("en0", 0, 0);                 // no address
    list.add("en0", AF_INET, 0);           // not the packet level
    list.add("en1", AF_PACKET, 4);         // another interface
    list.add("en", AF_PACKET, 4);          // a prefix of the name
    list.add("en0", AF_PACKET, 4, false);  // no statistics
    auto& chosen = list.add("en0", AF_PACKET, 4);
    chosen.statistics.rx_errors = std::numeric_limits<std::uint32_t>::max();
    chosen.statistics.tx_errors = 2;
    chosen.statistics.rx_dropped = 3;
    list.add("en0", AF_PACKET, 9);  // never reached

    auto snapshot = startSnapshot();
    ethernet_capture::readStatistics(list.head(), "en0", 4, std::string("3:2"), snapshot);
    EXPECT_EQ(snapshot.rxErrors, std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(snapshot.txErrors, 2u);
    EXPECT_EQ(snapshot.inputDrops, 3u);
    EXPECT_EQ(snapshot.administrativeChange, "3:2");
    EXPECT_EQ(snapshot.registryID, 77u);
    EXPECT_EQ(snapshot.reason, std::nullopt);
}

TEST(EthernetCounterSnapshotTest, PacketEntryWithAnotherIndexStopsTheReading) {
    InterfaceList list;
    list.add("en0", AF_PACKET, 5);
    list.add("en0", AF_PACKET, 4);
    auto snapshot = startSnapshot();
    ethernet_capture::readStatistics(list.head(), "en0", 4, std::string("3:2"), snapshot);
    auto expected = startSnapshot();
    expected.reason = "AF_LINK interface identity mismatched.";
    EXPECT_EQ(snapshot, expected);

    InterfaceList none;
    none.add("en0", AF_INET6, 4);
    snapshot = startSnapshot();
    ethernet_capture::readStatistics(none.head(), "en0", 4, std::string("3:2"), snapshot);
    EXPECT_EQ(snapshot, startSnapshot());
    ethernet_capture::readStatistics(nullptr, "en0", 4, std::nullopt, snapshot);
    EXPECT_EQ(snapshot, startSnapshot());
}

// ---------------------------------------------------------------- the device directory

class DeviceDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("ethernet_capture_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(root_ / "eth9");
        write("ifindex", "7\n");
        write("carrier_up_count", "3\n");
        write("carrier_down_count", "2\n");
    }
    void TearDown() override { fs::remove_all(root_); }

    void write(const char* attribute, const std::string& contents) {
        std::ofstream(root_ / "eth9" / attribute, std::ios::binary) << contents;
    }

    std::uint64_t inode() const {
        struct stat status {};
        EXPECT_EQ(::stat((root_ / "eth9").c_str(), &status), 0);
        return static_cast<std::uint64_t>(status.st_ino);
    }

    ethernet_capture::DeviceIdentity read(std::string_view name = "eth9", std::int64_t index = 7) {
        return ethernet_capture::readDeviceIdentity(root_, name, index);
    }

    fs::path root_;
};

TEST_F(DeviceDirectoryTest, ReadsIdentityAndCarrierCounts) {
    const auto identity = read();
    EXPECT_EQ(identity.registryID, inode());
    EXPECT_EQ(identity.stateChanges, "3:2");
    write("carrier_down_count", "-2147483648\n");
    write("carrier_up_count", "2147483647");
    EXPECT_EQ(read().stateChanges, "2147483647:-2147483648");
}

TEST_F(DeviceDirectoryTest, AnotherDeviceUnderTheNameGivesAnotherIdentity) {
    const auto first = read();
    fs::rename(root_ / "eth9", root_ / "old");
    fs::create_directories(root_ / "eth9");
    write("ifindex", "7\n");
    const auto second = read();
    ASSERT_TRUE(first.registryID && second.registryID);
    EXPECT_NE(first.registryID, second.registryID);
    EXPECT_EQ(second.stateChanges, std::nullopt);  // counts unreadable
}

TEST_F(DeviceDirectoryTest, RefusesAnEntryOfAnotherIndex) {
    EXPECT_EQ(read("eth9", 8).registryID, std::nullopt);
    EXPECT_EQ(read("eth9", 8).stateChanges, std::nullopt);
    for (const char* bad : {"7\n\n", "+7\n", " 7\n", "7x\n", "", "0x7\n"}) {
        write("ifindex", bad);
        EXPECT_EQ(read().registryID, std::nullopt) << bad;
    }
}

TEST_F(DeviceDirectoryTest, LeavesOutCountsThatAreNotSigned32BitNumbers) {
    for (const char* bad : {"2147483648\n", "-2147483649\n", "three\n", "3 \n", ""}) {
        write("carrier_up_count", bad);
        const auto identity = read();
        EXPECT_EQ(identity.registryID, inode()) << bad;
        EXPECT_EQ(identity.stateChanges, std::nullopt) << bad;
    }
}

TEST_F(DeviceDirectoryTest, OnlyPlainDeviceNamesAreLookedUp) {
    fs::create_directories(root_ / "sub" / "eth9");
    std::ofstream(root_ / "sub" / "eth9" / "ifindex") << "7\n";
    for (std::string_view bad :
         {std::string_view("sub/eth9"), std::string_view(".."), std::string_view("."),
          std::string_view(""), std::string_view("eth9\0x", 6),
          std::string_view("averyveryverylongname")}) {
        EXPECT_EQ(read(bad).registryID, std::nullopt) << bad;
    }
    EXPECT_EQ(read("missing").registryID, std::nullopt);
}

}  // namespace
}  // namespace sorvanta
