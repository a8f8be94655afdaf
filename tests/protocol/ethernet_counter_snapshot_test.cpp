#include "protocol/ethernet_counter_snapshot.h"

#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <regex>
#include <vector>

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
        write("7\n");
    }
    void TearDown() override { fs::remove_all(root_); }

    void write(const std::string& ifindex) {
        std::ofstream(root_ / "eth9" / "ifindex", std::ios::binary) << ifindex;
    }

    std::uint64_t inode() const {
        struct stat status {};
        EXPECT_EQ(::stat((root_ / "eth9").c_str(), &status), 0);
        return static_cast<std::uint64_t>(status.st_ino);
    }

    std::optional<std::uint64_t> read(std::string_view name = "eth9", std::int64_t index = 7) {
        return ethernet_capture::readDeviceInode(root_, name, index);
    }

    fs::path root_;
};

TEST_F(DeviceDirectoryTest, AnotherDeviceUnderTheNameGivesAnotherIdentity) {
    const auto first = read();
    EXPECT_EQ(first, inode());
    fs::rename(root_ / "eth9", root_ / "old");
    fs::create_directories(root_ / "eth9");
    write("7\n");
    const auto second = read();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
}

TEST_F(DeviceDirectoryTest, RefusesAnEntryOfAnotherIndex) {
    EXPECT_EQ(read("eth9", 8), std::nullopt);
    for (const char* bad :
         {"7\n\n", "+7\n", " 7\n", "7x\n", "", "0x7\n", "77777777777777777777\n"}) {
        write(bad);
        EXPECT_EQ(read(), std::nullopt) << bad;
    }
    write("7");
    EXPECT_EQ(read(), inode());
}

TEST_F(DeviceDirectoryTest, OnlyPlainDeviceNamesAreLookedUp) {
    fs::create_directories(root_ / "sub" / "eth9");
    std::ofstream(root_ / "sub" / "eth9" / "ifindex") << "7\n";
    for (std::string_view bad :
         {std::string_view("sub/eth9"), std::string_view(".."), std::string_view("."),
          std::string_view(""), std::string_view("eth9\0x", 6),
          std::string_view("averyveryverylongname")}) {
        EXPECT_EQ(read(bad), std::nullopt) << bad;
    }
    EXPECT_EQ(read("missing"), std::nullopt);
}

// ---------------------------------------------------------------- carrier counts

// A link reply as the kernel sends it: one message, attributes in any order.
class LinkReply {
  public:
    LinkReply(std::uint16_t type, int index) {
        nlmsghdr header{};
        header.nlmsg_type = type;
        append(&header, sizeof header);
        ifinfomsg info{};
        info.ifi_index = index;
        append(&info, sizeof info);
    }

    LinkReply& attribute(std::uint16_t type, const void* data, std::size_t size) {
        rtattr header{};
        header.rta_type = type;
        header.rta_len = static_cast<std::uint16_t>(RTA_LENGTH(size));
        append(&header, sizeof header);
        append(data, size);
        bytes_.resize(NLMSG_ALIGN(bytes_.size()));
        return *this;
    }
    LinkReply& name(const char* text) {
        return attribute(IFLA_IFNAME, text, std::strlen(text) + 1);
    }
    LinkReply& count(std::uint16_t type, std::uint32_t value) {
        return attribute(type, &value, sizeof value);
    }

    std::vector<std::byte> bytes() const {
        auto out = bytes_;
        const auto length = static_cast<std::uint32_t>(out.size());
        std::memcpy(out.data(), &length, sizeof length);  // nlmsg_len comes first
        return out;
    }

  private:
    void append(const void* data, std::size_t size) {
        const auto* begin = static_cast<const std::byte*>(data);
        bytes_.insert(bytes_.end(), begin, begin + size);
    }
    std::vector<std::byte> bytes_;
};

TEST(CarrierCountsTest, ReadsBothCountsOfTheNamedDevice) {
    const auto reply = LinkReply(RTM_NEWLINK, 4)
                           .count(IFLA_CARRIER_DOWN_COUNT, 2)
                           .name("en0")
                           .count(IFLA_MTU, 1500)
                           .count(IFLA_CARRIER_UP_COUNT, 3)
                           .bytes();
    EXPECT_EQ(ethernet_capture::parseCarrierCounts(reply, "en0", 4), "3:2");
    EXPECT_EQ(ethernet_capture::parseCarrierCounts(reply, "en1", 4), std::nullopt);
    EXPECT_EQ(ethernet_capture::parseCarrierCounts(reply, "en", 4), std::nullopt);
    EXPECT_EQ(ethernet_capture::parseCarrierCounts(reply, "en0", 5), std::nullopt);
    // Written as the kernel writes them elsewhere: signed 32-bit decimals.
    const auto wrapped = LinkReply(RTM_NEWLINK, 4)
                             .name("en0")
                             .count(IFLA_CARRIER_UP_COUNT, 0x80000000u)
                             .count(IFLA_CARRIER_DOWN_COUNT, 0xffffffffu)
                             .bytes();
    EXPECT_EQ(ethernet_capture::parseCarrierCounts(wrapped, "en0", 4), "-2147483648:-1");
}

TEST(CarrierCountsTest, IncompleteOrForeignRepliesGiveNothing) {
    const std::uint16_t shortValue = 3;
    for (const auto& reply : {
             LinkReply(RTM_NEWLINK, 4).name("en0").count(IFLA_CARRIER_UP_COUNT, 3).bytes(),
             LinkReply(RTM_NEWLINK, 4)
                 .count(IFLA_CARRIER_UP_COUNT, 3)
                 .count(IFLA_CARRIER_DOWN_COUNT, 2)
                 .bytes(),
             LinkReply(RTM_NEWLINK, 4)
                 .name("en0")
                 .count(IFLA_CARRIER_UP_COUNT, 3)
                 .attribute(IFLA_CARRIER_DOWN_COUNT, &shortValue, sizeof shortValue)
                 .bytes(),
             LinkReply(NLMSG_ERROR, 4)
                 .name("en0")
                 .count(IFLA_CARRIER_UP_COUNT, 3)
                 .count(IFLA_CARRIER_DOWN_COUNT, 2)
                 .bytes(),
             std::vector<std::byte>{},
             std::vector<std::byte>(7, std::byte{0xff}),
         }) {
        EXPECT_EQ(ethernet_capture::parseCarrierCounts(reply, "en0", 4), std::nullopt);
    }
    // A reply cut short inside an attribute is not read past its end.
    auto cut = LinkReply(RTM_NEWLINK, 4)
                   .name("en0")
                   .count(IFLA_CARRIER_UP_COUNT, 3)
                   .count(IFLA_CARRIER_DOWN_COUNT, 2)
                   .bytes();
    cut.resize(cut.size() - 4);
    EXPECT_EQ(ethernet_capture::parseCarrierCounts(cut, "en0", 4), std::nullopt);
}

TEST(CarrierCountsTest, AsksTheKernel) {
    const auto counts = ethernet_capture::readCarrierCounts("lo", loopbackIndex());
    ASSERT_TRUE(counts);
    std::ifstream up("/sys/class/net/lo/carrier_up_count");
    std::ifstream down("/sys/class/net/lo/carrier_down_count");
    std::ifstream ifindex("/sys/class/net/lo/ifindex");
    std::int64_t u = 0, d = 0, listed = 0;
    if (up >> u && down >> d && ifindex >> listed && listed == loopbackIndex()) {
        EXPECT_EQ(*counts, std::to_string(u) + ":" + std::to_string(d));
    }
    EXPECT_EQ(ethernet_capture::readCarrierCounts("lo", loopbackIndex() + 1000), std::nullopt);
    EXPECT_EQ(ethernet_capture::readCarrierCounts("other", loopbackIndex()), std::nullopt);
    EXPECT_EQ(ethernet_capture::readCarrierCounts("lo", 0), std::nullopt);
}

}  // namespace
}  // namespace sorvanta
