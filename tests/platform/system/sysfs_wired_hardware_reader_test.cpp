#include "platform/system/sysfs_wired_hardware_reader.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "lab/netns_lab.h"

namespace sorvanta {
namespace {

namespace fs = std::filesystem;
using Bus = HardwareIdentity::Bus;
using Type = WiredInterface::ConnectionType;
using Attributes = std::map<std::string, std::string>;
constexpr std::uint64_t G = 1'000'000'000;

// A device tree of made-up adapters under a temporary root.
class FakeTree {
  public:
    FakeTree() {
        static int count = 0;
        root = fs::temp_directory_path() /
               ("sysfs_tree_" + std::to_string(::getpid()) + "_" + std::to_string(count++));
        fs::create_directories(root / "sys/class/net");
        fs::create_directories(root / "sys/bus/usb/devices");
    }
    ~FakeTree() { fs::remove_all(root); }

    // A device directory below sys/devices on the given bus.
    fs::path device(const std::string& path, const std::string& bus, const Attributes& files = {}) {
        const auto dir = root / "sys/devices" / path;
        fs::create_directories(dir);
        fs::create_directories(root / "sys/bus" / bus);
        fs::create_directory_symlink(root / "sys/bus" / bus, dir / "subsystem");
        write(dir, files);
        if (bus == "usb" && files.contains("idVendor")) {
            fs::create_directory_symlink(dir, root / "sys/bus/usb/devices" / dir.filename());
        }
        return dir;
    }

    // A network interface; `device` empty for a virtual one.
    void net(const std::string& name, const fs::path& device, int index, Attributes files = {}) {
        const auto dir = (device.empty() ? root / "sys/devices/virtual" : device) / "net" / name;
        fs::create_directories(dir);
        files.try_emplace("type", "1");
        files["ifindex"] = std::to_string(index);
        write(dir, files);
        if (!device.empty()) {
            fs::create_directory_symlink(device, dir / "device");
        }
        fs::create_directory_symlink(dir, root / "sys/class/net" / name);
    }

    static void write(const fs::path& dir, const Attributes& files) {
        for (const auto& [name, text] : files) {
            if (name.ends_with("/")) {
                fs::create_directories(dir / name);
            } else {
                fs::create_directories((dir / name).parent_path());
                std::ofstream(dir / name) << text << "\n";
            }
        }
    }

    fs::path root;
};

HardwareIdentity pci(std::optional<std::uint16_t> vendor = {},
                     std::optional<std::uint16_t> device = {}) {
    HardwareIdentity identity;
    identity.bus = Bus::pci;
    identity.pciVendor = vendor;
    identity.pciDevice = device;
    return identity;
}

HardwareIdentity usb(std::uint16_t vendor, std::uint16_t product, int speed,
                     std::optional<std::uint16_t> revision) {
    HardwareIdentity identity;
    identity.bus = Bus::usb;
    identity.usbVendor = vendor;
    identity.usbProduct = product;
    identity.usbSpeed = speed;
    identity.usbRevision = revision;
    return identity;
}

std::map<std::string, MediaReading> media;

SysfsWiredHardwareReader readerOf(const FakeTree& tree) {
    return SysfsWiredHardwareReader(tree.root, [](const std::string& name) {
        const auto found = media.find(name);
        return found == media.end() ? MediaReading{} : found->second;
    });
}

TEST(SysfsWiredHardwareReaderTest, IdentifiesAdmitsAndDescribesAdapters) {
    FakeTree tree;
    const auto intel =
        tree.device("pci0000:00/0000:00:1f.6", "pci",
                    {{"vendor", "0x8086"}, {"device", "0x15fb"}, {"acpi_index", "1"}});
    tree.net("eno1", intel, 2, {{"carrier", "1"}, {"speed", "1000"}});
    const auto virtio =
        tree.device("pci0000:00/0000:00:03.0", "pci", {{"vendor", "0x1af4"}, {"device", "0x1000"}});
    tree.net("ens3", tree.device("pci0000:00/0000:00:03.0/virtio2", "virtio"), 4);
    Attributes::value_type model{"run/udev/data/n4",
                                 "E:ID_MODEL_FROM_DATABASE=Virtio network device"};
    FakeTree::write(tree.root, {model});
    const auto hub = "pci0000:00/0000:00:14.0/usb2/";
    const auto realtek = tree.device(hub + std::string("2-1"), "usb",
                                     {{"idVendor", "0bda"},
                                      {"idProduct", "8153"},
                                      {"bcdDevice", "3100"},
                                      {"speed", "5000"},
                                      {"product", " USB\t10/100/1000 LAN \x01"}});
    tree.net("enx1", tree.device(hub + std::string("2-1/2-1:1.0"), "usb"), 7, {{"carrier", "0"}});
    const auto other = tree.device(hub + std::string("2-2"), "usb",
                                   {{"idVendor", "0bda"}, {"idProduct", "8156"}, {"speed", "480"}});
    tree.net("enx2", tree.device(hub + std::string("2-2/2-2:1.0"), "usb"), 8);
    tree.net(
        "enp5",
        tree.device("pci0000:00/0000:00:1c.0/0000:05:00.0", "pci", {{"removable", "removable"}}),
        9);
    tree.net("enp6", tree.device("pci0000:00/0000:00:07.0/domain0/0-1", "thunderbolt"), 10);
    tree.device("pci0000:00/0000:00:07.0/domain0/0-1/0000:06:00.0", "pci");
    tree.net("enp7", tree.root / "sys/devices/pci0000:00/0000:00:07.0/domain0/0-1/0000:06:00.0",
             11);
    tree.net("wlp1", tree.device("pci0000:00/0000:00:14.3", "pci"), 12, {{"wireless/", ""}});
    tree.net("enp8", tree.device("pci0000:00/0000:00:1d.0", "pci"), 0);
    tree.net("plat0", tree.device("platform/ethernet0", "platform"), 13);
    tree.net("ib0", tree.device("pci0000:00/0000:00:1e.0", "pci"), 15, {{"type", "32"}});
    tree.net("veth0", {}, 14, {{"carrier", "0"}, {"speed", "10000"}});
    tree.net("lo", {}, 1, {{"type", "772"}});
    media = {{"eno1", {true, true, 2'500'000'000, true}}, {"enx1", {true, true, G, true}}};
    const auto reader = readerOf(tree);

    struct Case {
        std::string name;
        std::optional<HardwareIdentity> identity;
        Type type;
        std::optional<std::string> label;  // absent: not in the inventory
    };
    const Case cases[] = {
        {"eno1", pci(0x8086, 0x15fb), Type::internalPort, "Ethernet"},
        {"ens3", pci(0x1af4, 0x1000), Type::pci, "Virtio network device"},
        {"enx1", usb(0x0bda, 0x8153, 4, 0x3100), Type::usb, "USB10/100/1000 LAN"},
        {"enx2", usb(0x0bda, 0x8156, 3, std::nullopt), Type::unknown, std::nullopt},
        {"enp5", pci(), Type::thunderbolt, "Ethernet"},
        {"enp7", pci(), Type::thunderbolt, "Ethernet"},
        {"wlp1", pci(), Type::pci, std::nullopt},
        {"enp8", pci(), Type::pci, std::nullopt},
        {"plat0", HardwareIdentity{}, Type::unknown, std::nullopt},
        {"ib0", pci(), Type::pci, std::nullopt},
        {"veth0", std::nullopt, Type::unknown, std::nullopt},
        {"lo", std::nullopt, Type::unknown, std::nullopt},
        {"../../..", std::nullopt, Type::unknown, std::nullopt},
    };
    const auto inventory = reader.wiredInventory();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reader.registryAdapter(c.name), c.identity);
        EXPECT_EQ(reader.connectionType(c.name), c.type);
        const auto listed = std::find_if(inventory.begin(), inventory.end(),
                                         [&](const auto& w) { return w.identity.name == c.name; });
        ASSERT_EQ(listed != inventory.end(), c.label.has_value());
        if (c.label) {
            EXPECT_EQ(listed->label, *c.label);
            EXPECT_EQ(listed->connectionType, c.type);
            EXPECT_EQ(listed->adapter, AdapterProfile::fromIdentity(*c.identity));
        }
    }
    ASSERT_EQ(inventory.size(), 5u);
    EXPECT_TRUE(std::is_sorted(inventory.begin(), inventory.end(),
                               [](auto& a, auto& b) { return a.id() < b.id(); }));
    // The driver's rate wins; a device reporting its carrier down wins over the driver.
    EXPECT_EQ(reader.linkState("eno1"), (LinkReading{true, 2'500'000'000, true}));
    EXPECT_EQ(reader.linkState("enx1"), (LinkReading{false, {}, {}}));
    EXPECT_EQ(reader.linkState("veth0"), (LinkReading{false, {}, {}}));
    EXPECT_EQ(reader.linkState("ens3"), LinkReading{});
    EXPECT_EQ(inventory[0].linkSpeed, 2'500'000'000u);
    EXPECT_TRUE(reader.qualifiedAdapterOnBus());

    const auto lines = reader.interfaceDescriptions();
    EXPECT_TRUE(lines.starts_with("enp8: Ethernet; admission: PCI Ethernet provider;"));
    EXPECT_NE(lines.find(
                  "\nlo: Loopback; admission: Provider metadata unavailable; carrier: unavailable; "
                  "driver-reported active link speed: unavailable bps\n"),
              std::string::npos);
    EXPECT_NE(
        lines.find("\nenx2: Ethernet; admission: USB network device not qualified as physical "
                   "Ethernet; USB VID/PID: 0bda:8156; carrier: unavailable; "
                   "driver-reported active link speed: unavailable bps\n"),
        std::string::npos);
    EXPECT_NE(lines.find("\neno1: Ethernet; admission: PCI Ethernet provider; carrier: active; "
                         "driver-reported active link speed: 2500000000 bps\n"),
              std::string::npos);
    EXPECT_NE(lines.find("\nwlp1: IEEE80211; "), std::string::npos);
    (void)realtek, (void)other, (void)virtio;
}

TEST(SysfsWiredHardwareReaderTest, BusScanAndDescriptionLimit) {
    FakeTree tree;
    tree.device("pci0000:00/0000:00:14.0/usb1/1-1", "usb",
                {{"idVendor", "0b95"}, {"idProduct", "1791"}});
    EXPECT_FALSE(readerOf(tree).qualifiedAdapterOnBus());
    tree.device("pci0000:00/0000:00:14.0/usb1/1-2", "usb",
                {{"idVendor", "0x0b95"}, {"idProduct", "1790"}});
    EXPECT_TRUE(readerOf(tree).qualifiedAdapterOnBus());
    for (int i = 1; i <= 40; ++i) {
        tree.net("dummy" + std::to_string(i), {}, i);
    }
    const auto lines = readerOf(tree).interfaceDescriptions();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 31);
    EXPECT_TRUE(
        lines.ends_with("dummy32: Ethernet; admission: Provider metadata unavailable; carrier: "
                        "unavailable; driver-reported active link speed: unavailable bps"));
    EXPECT_EQ(SysfsWiredHardwareReader(tree.root / "absent").interfaceDescriptions(),
              "Interface descriptions unavailable in this environment.");
}

// The kernel's USB speeds become the codes whose connection rate the adapter profile
// shows: the same rate.
TEST(SysfsWiredHardwareReaderTest, UsbSpeedsKeepTheirRate) {
    const std::pair<std::string_view, std::optional<std::uint64_t>> cases[] = {
        {"1.5", 1'500'000}, {"12", 12'000'000}, {"480", 480'000'000},   {"5000", 5 * G},
        {"10000", 10 * G},  {"20000", 20 * G},  {"53.3", std::nullopt}, {"unknown", std::nullopt},
    };
    for (const auto& [text, rate] : cases) {
        HardwareIdentity identity = usb(0x0bda, 0x8153, 0, std::nullopt);
        identity.usbSpeed = sysfs::usbSpeedCode(text);
        EXPECT_EQ(AdapterProfile::fromIdentity(identity).connection, rate) << text;
    }
}

// This machine's own interfaces: loopback and virtual ones are never listed; a virtio NIC
// is a PCI device and is listed with its PCI identity.
TEST(SysfsWiredHardwareReaderTest, ThisMachine) {
    const SysfsWiredHardwareReader reader;
    for (const auto& wired : reader.wiredInventory()) {
        SCOPED_TRACE(wired.identity.name);
        EXPECT_FALSE(wired.identity.name == "lo" || wired.identity.name.starts_with("ifb") ||
                     wired.identity.name.starts_with("veth"));
        EXPECT_TRUE(wired.adapter.has_value());
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/class/net", error)) {
        const auto device = fs::canonical(entry.path() / "device", error);
        if (error || device.filename().string().rfind("virtio", 0) != 0) {
            error.clear();
            continue;
        }
        const auto name = entry.path().filename().string();
        const auto identity = reader.registryAdapter(name);
        ASSERT_TRUE(identity) << name;
        EXPECT_EQ(identity->bus, Bus::pci);
        EXPECT_EQ(identity->pciVendor, 0x1af4);
        EXPECT_EQ(reader.connectionType(name), Type::pci);
    }
}

// Runs `f` in the pair's first namespace with that namespace's own device tree mounted
// below `tree`.
void inNamespaceTree(const std::string& ns, const FakeTree& tree, const std::function<void()>& f) {
    testing::NetnsLab::runIn(ns, [&] {
        // A mount namespace of this thread's own, gone with it, shows the namespace's tree.
        ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        fs::create_directories(tree.root / "sys");
        ASSERT_EQ(::mount("sysfs", (tree.root / "sys").c_str(), "sysfs", 0, nullptr), 0);
        f();
        ::umount2((tree.root / "sys").c_str(), MNT_DETACH);
    });
}

// A veth pair seen through the kernel's own tree of its namespace: never listed, its link
// read from its driver.
TEST(SysfsWiredHardwareReaderTest, VethIsNotAnAdapter) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    FakeTree tree;
    inNamespaceTree(pair->nsA, tree, [&] {
        const SysfsWiredHardwareReader reader(tree.root);
        EXPECT_TRUE(reader.wiredInventory().empty());
        EXPECT_EQ(reader.registryAdapter(pair->link.nameA), std::nullopt);
        EXPECT_EQ(reader.linkState(pair->link.nameA), (LinkReading{true, 10 * G, true}));
        EXPECT_NE(reader.interfaceDescriptions().find(
                      pair->link.nameA +
                      ": Ethernet; admission: Provider metadata unavailable; carrier: active; "
                      "driver-reported active link speed: 10000000000 bps"),
                  std::string::npos);
    });
}

// A veth end standing in for a PCI adapter is listed, and everything else about it comes
// from the kernel as for real hardware: its index, its carrier (the other end down is a
// pulled cable), its absence once deleted, and the new index of the one made again under
// the same name.
TEST(SysfsWiredHardwareReaderTest, StandInFollowsTheKernel) {
    SORVANTA_NETNS_PAIR_OR_SKIP(pair);
    FakeTree tree;
    const std::string name = pair->link.nameA;
    struct Step {
        std::string what;
        std::function<void()> act;
        bool listed;
        std::optional<bool> active;
    };
    int indexNow = pair->link.indexA;
    const std::vector<Step> steps = {
        {"as made", [] {}, true, true},
        {"cable pulled", [&] { pair->lab.ip(pair->nsB, "link set " + pair->link.nameB + " down"); },
         true, false},
        {"deleted", [&] { pair->lab.ip(pair->nsA, "link del " + name); }, false, std::nullopt},
        {"made again",
         [&] {
             pair->lab.ip(pair->nsA, "link add " + name + " type veth peer name " +
                                         pair->link.nameB + " netns " + pair->nsB);
             pair->lab.ip(pair->nsA, "link set " + name + " up");
             pair->lab.ip(pair->nsB, "link set " + pair->link.nameB + " up");
         },
         true, true},
    };
    inNamespaceTree(pair->nsA, tree, [&] {
        HardwareIdentity standIn = pci(0x8086, 0x15fb);
        const SysfsWiredHardwareReader reader(
            tree.root, [](const std::string&) { return MediaReading{}; }, {{name, standIn}});
        std::set<int> indexes;
        for (const auto& step : steps) {
            SCOPED_TRACE(step.what);
            step.act();
            const auto inventory = reader.wiredInventory();
            ASSERT_EQ(inventory.size(), step.listed ? 1u : 0u);
            EXPECT_EQ(reader.registryAdapter(name),
                      step.listed ? std::optional(standIn) : std::nullopt);
            if (!step.listed) {
                continue;
            }
            indexNow = static_cast<int>(::if_nametoindex(name.c_str()));
            indexes.insert(inventory[0].identity.index);
            EXPECT_EQ(inventory[0].identity, (InterfaceIdentity{name, indexNow}));
            EXPECT_EQ(inventory[0].connectionType, Type::pci);
            EXPECT_EQ(inventory[0].adapter, AdapterProfile::fromIdentity(standIn));
            EXPECT_EQ(inventory[0].linkActive, step.active);
        }
        EXPECT_EQ(indexes.size(), 2u);  // the one made again has an index of its own
    });
}

}  // namespace
}  // namespace sorvanta
