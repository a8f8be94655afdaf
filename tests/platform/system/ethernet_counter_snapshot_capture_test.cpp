#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/system/ethernet_counter_capture.h"
#include "protocol/ethernet_run_evidence.h"

namespace sorvanta {
namespace {

namespace fs = std::filesystem;
using namespace ethernet_capture;

std::int64_t loopbackIndex() {
    return static_cast<std::int64_t>(::if_nametoindex("lo"));
}

// ---------------------------------------------------------------- the real system

std::optional<std::int64_t> sysValue(const char* attribute) {
    std::ifstream file(std::string("/sys/class/net/lo/") + attribute);
    std::int64_t value = 0;
    return file >> value ? std::optional(value) : std::nullopt;
}

TEST(EthernetCounterSnapshotTest, CapturesLoopback) {
    ASSERT_GT(loopbackIndex(), 0);
    EthernetRunEvidence evidence;
    evidence.before = captureEthernetCounters("lo", loopbackIndex(), 1.5);
    const auto& first = evidence.before;
    EXPECT_EQ(first.offset, 1.5);
    EXPECT_EQ(first.reason, std::nullopt);
    EXPECT_TRUE(first.rxErrors && first.txErrors && first.inputDrops && first.registryID);
    // Where the device directory shows this network namespace, the reading carries the
    // device's entry and its carrier history.
    if (sysValue("ifindex") == loopbackIndex()) {
        struct stat status {};
        ASSERT_EQ(::stat("/sys/class/net/lo", &status), 0);
        EXPECT_EQ(first.registryID, static_cast<std::uint64_t>(status.st_ino));
        EXPECT_EQ(first.administrativeChange, std::to_string(*sysValue("carrier_up_count")) + ":" +
                                                  std::to_string(*sysValue("carrier_down_count")));
        evidence.after = captureEthernetCounters("lo", loopbackIndex(), 2.5);
        EXPECT_EQ(evidence.counterIntervalProblem(), std::nullopt);
    }
    EXPECT_EQ(readCarrierCounts("lo", loopbackIndex() + 1000), std::nullopt);
    EXPECT_EQ(readCarrierCounts("other", loopbackIndex()), std::nullopt);
    EXPECT_EQ(readCarrierCounts("lo", 0), std::nullopt);
}

TEST(EthernetCounterSnapshotTest, ChangedOrMissingInterfaceGivesOnlyItsReason) {
    const std::tuple<const char*, std::int64_t, const char*> cases[] = {
        {"lo", loopbackIndex() + 1000, "Selected interface identity changed."},
        {"sv-missing0", 5, "Selected interface identity changed."},
        // A missing interface has index 0: expected, it passes that check but has no data.
        {"sv-missing0", 0, "Selected interface statistics unavailable."},
        {"../lo", 0, "Selected interface statistics unavailable."},
    };
    for (const auto& [name, index, reason] : cases) {
        EthernetCounterSnapshot expected;
        expected.offset = 3;
        expected.reason = reason;
        EXPECT_EQ(captureEthernetCounters(name, index, 3), expected) << name;
    }
}

// ---------------------------------------------------------------- the interface list

// A prepared interface list whose statistics blocks hold only the counters that even the
// oldest kernels send, so that reading a whole block of today's size overruns them.
class InterfaceList {
  public:
    // Family 0 leaves the address out, `withStatistics` false the data.
    std::uint32_t* add(const char* name, int family, int index, bool withStatistics = true) {
        auto& entry = entries_.emplace_back(std::make_unique<Entry>());
        entry->entry.ifa_name = const_cast<char*>(name);
        if (family != 0) {
            entry->address.ss_family = static_cast<sa_family_t>(family);
            reinterpret_cast<sockaddr_ll*>(&entry->address)->sll_ifindex = index;
            entry->entry.ifa_addr = reinterpret_cast<sockaddr*>(&entry->address);
        }
        if (withStatistics) {
            entry->statistics = std::make_unique<std::uint32_t[]>(7);
            entry->entry.ifa_data = entry->statistics.get();
        }
        if (entries_.size() > 1) {
            entries_[entries_.size() - 2]->entry.ifa_next = &entry->entry;
        }
        return entry->statistics.get();
    }
    const ifaddrs* head() const { return entries_.empty() ? nullptr : &entries_.front()->entry; }

  private:
    struct Entry {
        sockaddr_storage address{};
        std::unique_ptr<std::uint32_t[]> statistics;
        ifaddrs entry{};
    };
    std::vector<std::unique_ptr<Entry>> entries_;
};

EthernetCounterSnapshot startSnapshot() {
    return {1, 77, std::nullopt, {}, {}, {}, "Selected interface statistics unavailable."};
}

TEST(EthernetCounterSnapshotTest, FirstQualifyingPacketEntryDecides) {
    InterfaceList list;
    list.add("en0", 0, 0);                 // no address
    list.add("en0", AF_INET, 4);           // not the packet level
    list.add("en1", AF_PACKET, 4);         // another interface
    list.add("en", AF_PACKET, 4);          // a prefix of the name
    list.add("en0", AF_PACKET, 4, false);  // no statistics
    std::uint32_t* counters = list.add("en0", AF_PACKET, 4);
    counters[4] = 0xFFFFFFFF;       // rx_errors
    counters[5] = 2;                // tx_errors
    counters[6] = 3;                // rx_dropped
    list.add("en0", AF_PACKET, 9);  // never reached

    auto snapshot = startSnapshot();
    readStatistics(list.head(), "en0", 4, std::string("3:2"), snapshot);
    EXPECT_EQ(snapshot, (EthernetCounterSnapshot{1, 77, "3:2", 0xFFFFFFFF, 2, 3, std::nullopt}));

    InterfaceList moved;
    moved.add("en0", AF_PACKET, 5);
    moved.add("en0", AF_PACKET, 4);
    snapshot = startSnapshot();
    readStatistics(moved.head(), "en0", 4, std::string("3:2"), snapshot);
    auto expected = startSnapshot();
    expected.reason = "AF_LINK interface identity mismatched.";
    EXPECT_EQ(snapshot, expected);

    snapshot = startSnapshot();
    readStatistics(nullptr, "en0", 4, std::nullopt, snapshot);
    EXPECT_EQ(snapshot, startSnapshot());
}

// ---------------------------------------------------------------- the device directory

TEST(EthernetCounterSnapshotTest, DeviceDirectoryIdentity) {
    const auto root =
        fs::temp_directory_path() / ("ethernet_capture_" + std::to_string(::getpid()));
    fs::create_directories(root / "eth9");
    fs::create_directories(root / "sub" / "eth9");
    auto write = [&](const std::string& ifindex) {
        std::ofstream(root / "eth9" / "ifindex", std::ios::binary) << ifindex;
        std::ofstream(root / "sub" / "eth9" / "ifindex", std::ios::binary) << ifindex;
    };
    auto inode = [&] {
        struct stat status {};
        EXPECT_EQ(::stat((root / "eth9").c_str(), &status), 0);
        return static_cast<std::uint64_t>(status.st_ino);
    };
    write("7\n");
    const auto first = readDeviceInode(root, "eth9", 7);
    EXPECT_EQ(first, inode());
    EXPECT_EQ(readDeviceInode(root, "eth9", 8), std::nullopt);
    for (std::string_view bad :
         {std::string_view("sub/eth9"), std::string_view(".."), std::string_view(""),
          std::string_view("eth9\0x", 6), std::string_view("averyveryverylongname"),
          std::string_view("x")}) {
        EXPECT_EQ(readDeviceInode(root, bad, 7), std::nullopt) << bad;
    }
    for (const char* bad : {"7\n\n", "7x\n", "", "77777777777777777777\n"}) {
        write(bad);
        EXPECT_EQ(readDeviceInode(root, "eth9", 7), std::nullopt) << bad;
    }
    // Another device that takes the name is another device.
    fs::rename(root / "eth9", root / "old");
    fs::create_directories(root / "eth9");
    write("7");
    const auto second = readDeviceInode(root, "eth9", 7);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    fs::remove_all(root);
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
    // A 32-bit statistics block of `words` counters, the fifth (rx_errors) onwards set.
    LinkReply& statistics(std::size_t words, std::uint32_t rxErrors, std::uint32_t txErrors,
                          std::uint32_t rxDropped) {
        std::vector<std::uint32_t> block(words, 0x5a5a5a5a);
        const std::uint32_t values[] = {rxErrors, txErrors, rxDropped};
        for (std::size_t i = 0; i < 3 && 4 + i < words; ++i) {
            block[4 + i] = values[i];
        }
        return attribute(IFLA_STATS, block.data(), block.size() * sizeof(std::uint32_t));
    }
    // The kernel's error message carrying `error`.
    static std::vector<std::byte> error(int code) {
        struct {
            nlmsghdr header;
            nlmsgerr error;
        } message{};
        message.header.nlmsg_len = sizeof message;
        message.header.nlmsg_type = NLMSG_ERROR;
        message.error.error = code;
        std::vector<std::byte> out(sizeof message);
        std::memcpy(out.data(), &message, sizeof message);
        return out;
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

TEST(CarrierCountsTest, ParsesOnlyTheNamedDevicesCompleteReply) {
    const auto reply = LinkReply(RTM_NEWLINK, 4)
                           .count(IFLA_CARRIER_DOWN_COUNT, 2)
                           .name("en0")
                           .count(IFLA_CARRIER_UP_COUNT, 3)
                           .bytes();
    EXPECT_EQ(parseCarrierCounts(reply, "en0", 4), "3:2");
    EXPECT_EQ(parseCarrierCounts(reply, "en", 4), std::nullopt);
    EXPECT_EQ(parseCarrierCounts(reply, "en0", 5), std::nullopt);
    // Written as the kernel writes them elsewhere: signed 32-bit decimals.
    const auto wrapped = LinkReply(RTM_NEWLINK, 4)
                             .name("en0")
                             .count(IFLA_CARRIER_UP_COUNT, 0x80000000u)
                             .count(IFLA_CARRIER_DOWN_COUNT, 0xffffffffu)
                             .bytes();
    EXPECT_EQ(parseCarrierCounts(wrapped, "en0", 4), "-2147483648:-1");

    const std::uint16_t shortValue = 3;
    auto cut = reply;
    cut.resize(cut.size() - 4);  // cut short inside an attribute: not read past its end
    for (const auto& bad :
         {LinkReply(RTM_NEWLINK, 4).name("en0").count(IFLA_CARRIER_UP_COUNT, 3).bytes(),
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
          std::vector<std::byte>{}, std::vector<std::byte>(7, std::byte{0xff}), cut}) {
        EXPECT_EQ(parseCarrierCounts(bad, "en0", 4), std::nullopt);
    }
}

TEST(LinkAnswerTest, ReadsTheRequestedLinkOrItsAbsence) {
    const auto full = LinkReply(RTM_NEWLINK, 4)
                          .name("en0")
                          .count(IFLA_CARRIER_UP_COUNT, 3)
                          .statistics(24, 0xFFFFFFFF, 2, 7)
                          .count(IFLA_CARRIER_DOWN_COUNT, 0x80000000u)
                          .bytes();
    auto cut = full;
    cut.resize(cut.size() - 4);  // the last attribute cut short: the message no longer fits
    auto trailing = LinkReply(RTM_NEWLINK, 4).name("en0").statistics(24, 1, 2, 3).bytes();
    trailing.resize(trailing.size() + 6, std::byte{0xff});  // a torn message after a whole one
    const std::uint16_t shortValue = 3;
    auto shortError = LinkReply::error(-ENODEV);
    shortError.resize(16);
    const std::uint32_t shortLength = 16;
    std::memcpy(shortError.data(), &shortLength, sizeof shortLength);  // no room for the code

    const LinkAnswer fullAnswer{true, "en0", LinkErrorCounters{0xFFFFFFFF, 2, 7},
                                std::string("3:-2147483648")};
    const LinkAnswer bare{true, "en0", std::nullopt, std::nullopt};
    const struct {
        const char* what;
        std::vector<std::byte> reply;
        std::int64_t index;
        std::optional<LinkAnswer> expected;
    } cases[] = {
        {"complete", full, 4, fullAnswer},
        {"another link's description", full, 5, std::nullopt},
        // Only the counters up to the input drops, which the oldest kernels already send.
        {"oldest statistics block",
         LinkReply(RTM_NEWLINK, 4).name("en0").statistics(7, 4, 5, 6).bytes(), 4,
         LinkAnswer{true, "en0", LinkErrorCounters{4, 5, 6}, std::nullopt}},
        {"statistics block too short",
         LinkReply(RTM_NEWLINK, 4).name("en0").statistics(6, 4, 5, 6).bytes(), 4, bare},
        {"no statistics", LinkReply(RTM_NEWLINK, 4).name("en0").bytes(), 4, bare},
        {"one carrier count short",
         LinkReply(RTM_NEWLINK, 4)
             .name("en0")
             .count(IFLA_CARRIER_UP_COUNT, 3)
             .attribute(IFLA_CARRIER_DOWN_COUNT, &shortValue, sizeof shortValue)
             .bytes(),
         4, bare},
        {"no name", LinkReply(RTM_NEWLINK, 4).bytes(), 4, LinkAnswer{true, "", {}, {}}},
        {"torn after a whole message", trailing, 4,
         LinkAnswer{true, "en0", LinkErrorCounters{1, 2, 3}, std::nullopt}},
        {"truncated", cut, 4, std::nullopt},
        {"no such device", LinkReply::error(-ENODEV), 4, LinkAnswer{}},
        {"another error", LinkReply::error(-EPERM), 4, std::nullopt},
        {"error cut short", shortError, 4, std::nullopt},
        {"empty", {}, 4, std::nullopt},
        {"garbage", std::vector<std::byte>(7, std::byte{0xff}), 4, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseLinkAnswer(c.reply, c.index), c.expected) << c.what;
    }
}

TEST(LinkAnswerTest, AsksTheKernelForOneLink) {
    ASSERT_GT(loopbackIndex(), 0);
    const auto answer = queryLink(loopbackIndex());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->name, "lo");
    EXPECT_TRUE(answer->counters);
    EXPECT_EQ(answer->carrierCounts, readCarrierCounts("lo", loopbackIndex()));
    EXPECT_EQ(queryLink(loopbackIndex() + 100000), LinkAnswer{});
    for (std::int64_t impossible : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{1} << 40}) {
        EXPECT_EQ(queryLink(impossible), std::nullopt) << impossible;
    }
}

}  // namespace
}  // namespace sorvanta
