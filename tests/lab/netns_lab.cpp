#include "lab/netns_lab.h"

#include <fcntl.h>
#include <net/if.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>

#include "platform/net/repeated_payload_file.h"

namespace sorvanta::testing {

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 512> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), pipe) != nullptr) {
        result.output += buffer.data();
    }
    result.status = ::pclose(pipe);
    return result;
}

namespace {

void mustRun(const std::string& command) {
    const CommandResult result = runCommand(command);
    if (result.status != 0) {
        throw std::runtime_error("command failed: " + command + ": " +
                                 (result.status == -1 ? "cannot start a shell" : result.output));
    }
}

// Namespaces still alive, removed at normal exit should a lab's destructor not run.
std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}
std::set<std::string>& registry() {
    static std::set<std::string> live;
    return live;
}
void removeLeftovers() {
    std::lock_guard lock(registryMutex());
    for (const auto& ns : registry()) {
        runCommand("ip netns delete " + ns);
    }
    registry().clear();
}

std::atomic<int> labCounter{0};

// Namespaces left by test processes that died without cleaning up (a sanitizer abort, a
// kill): their names carry the pid, and a pid that no longer exists owns nothing.
void removeOrphans() {
    const CommandResult list = runCommand("ip netns list");
    std::size_t start = 0;
    while (start < list.output.size()) {
        std::size_t end = list.output.find('\n', start);
        if (end == std::string::npos) {
            end = list.output.size();
        }
        const std::string line = list.output.substr(start, end - start);
        start = end + 1;
        const std::string name = line.substr(0, line.find(' '));
        if (name.rfind("svt", 0) != 0) {
            continue;
        }
        const std::size_t dash = name.find('-');
        if (dash == std::string::npos || dash == 3) {
            continue;
        }
        const std::string digits = name.substr(3, dash - 3);
        if (digits.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const pid_t owner = static_cast<pid_t>(std::stol(digits));
        if (::kill(owner, 0) != 0 && errno == ESRCH) {
            runCommand("ip netns delete " + name);
        }
    }
}

}  // namespace

NetnsLab::NetnsLab()
    : prefix_("svt" + std::to_string(::getpid()) + "-" + std::to_string(labCounter++) + "-") {
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit(removeLeftovers); });
}

NetnsLab::~NetnsLab() {
    for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it) {
        runCommand("ip netns delete " + *it);
        std::lock_guard lock(registryMutex());
        registry().erase(*it);
    }
}

std::string NetnsLab::unavailableReason() {
    static const std::string reason = [] {
        if (::geteuid() != 0) {
            return std::string("making network namespaces needs root");
        }
        removeOrphans();
        const std::string probe = "svt" + std::to_string(::getpid()) + "-probe";
        CommandResult made = runCommand("ip netns add " + probe);
        if (made.status != 0) {
            return "cannot make a network namespace: " + made.output;
        }
        CommandResult veth = runCommand("ip -n " + probe + " link add p0 type veth peer name p1");
        runCommand("ip netns delete " + probe);
        if (veth.status != 0) {
            return "cannot make a veth pair: " + veth.output;
        }
        return std::string();
    }();
    return reason;
}

std::string NetnsLab::addNamespace(const std::string& tag) {
    const std::string ns = prefix_ + tag;
    mustRun("ip netns add " + ns);
    namespaces_.push_back(ns);
    {
        std::lock_guard lock(registryMutex());
        registry().insert(ns);
    }
    ip(ns, "link set lo up");
    return ns;
}

NetnsLab::Link NetnsLab::addLink(const std::string& nsA, const std::string& nsB) {
    const int n = counter_++;
    Link link{"veth" + std::to_string(n) + "a", "veth" + std::to_string(n) + "b"};
    ip(nsA, "link add " + link.nameA + " type veth peer name " + link.nameB + " netns " + nsB);
    // No automatic link-local address: each test configures the addresses it uses, without
    // waiting for duplicate detection.
    ip(nsA, "link set dev " + link.nameA + " addrgenmode none");
    ip(nsB, "link set dev " + link.nameB + " addrgenmode none");
    ip(nsA, "link set dev " + link.nameA + " up");
    ip(nsB, "link set dev " + link.nameB + " up");
    runIn(nsA, [&] { link.indexA = static_cast<int>(::if_nametoindex(link.nameA.c_str())); });
    runIn(nsB, [&] { link.indexB = static_cast<int>(::if_nametoindex(link.nameB.c_str())); });
    if (link.indexA == 0 || link.indexB == 0) {
        throw std::runtime_error("veth pair made but not found in its namespaces");
    }
    return link;
}

void NetnsLab::ip(const std::string& ns, const std::string& arguments) const {
    mustRun("ip -n " + ns + " " + arguments);
}

void NetnsLab::silence(const std::string& ns) const {
    mustRun("ip netns exec " + ns +
            " nft 'add table inet silence; "
            "add chain inet silence in { type filter hook input priority -300; policy drop; }; "
            "add rule inet silence in iifname lo accept; "
            "add chain inet silence out { type filter hook output priority -300; policy drop; }; "
            "add rule inet silence out oifname lo accept'");
}

void NetnsLab::unsilence(const std::string& ns) const {
    mustRun("ip netns exec " + ns + " nft delete table inet silence");
}

void NetnsLab::enter(const std::string& ns) {
    const std::string path = "/run/netns/" + ns;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "open " + path);
    }
    const int rc = ::setns(fd, CLONE_NEWNET);
    const int error = errno;
    ::close(fd);
    if (rc != 0) {
        throw std::system_error(error, std::generic_category(), "setns " + ns);
    }
}

void NetnsLab::runIn(const std::string& ns, const std::function<void()>& f) {
    std::exception_ptr failure;
    std::thread thread([&] {
        try {
            enter(ns);
            f();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    thread.join();
    if (failure) {
        std::rethrow_exception(failure);
    }
}

NetnsThread::NetnsThread(const std::string& ns, bool sendsFromFiles)
    : work_(context_.get_executor()) {
    std::promise<void> entered;
    auto done = entered.get_future();
    thread_ = std::thread([this, ns, sendsFromFiles, &entered] {
        try {
            NetnsLab::enter(ns);
        } catch (...) {
            entered.set_exception(std::current_exception());
            return;
        }
        // Named so that per-thread figures tell it from the engines' I/O threads.
        ::pthread_setname_np(::pthread_self(), "lab-executor");
        if (sendsFromFiles) {
            RepeatedPayloadFile::prepareThread();
        }
        entered.set_value();
        context_.run();
    });
    try {
        done.get();
    } catch (...) {
        thread_.join();
        throw;
    }
}

NetnsThread::~NetnsThread() {
    work_.reset();
    context_.stop();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void NetnsThread::post(std::function<void()> f) {
    asio::post(context_, std::move(f));
}

std::unique_ptr<NetnsPair> NetnsPair::create(std::string& whyNot) {
    whyNot = NetnsLab::unavailableReason();
    if (!whyNot.empty()) {
        return nullptr;
    }
    auto pair = std::make_unique<NetnsPair>();
    pair->nsA = pair->lab.addNamespace("a");
    pair->nsB = pair->lab.addNamespace("b");
    pair->link = pair->lab.addLink(pair->nsA, pair->nsB);
    // A third octet per process keeps addresses distinct in logs of parallel runs.
    const std::string net = "169.254." + std::to_string(1 + ::getpid() % 250) + ".";
    pair->ipv4A = net + "1";
    pair->ipv4B = net + "2";
    pair->lab.ip(pair->nsA, "addr add " + pair->ipv4A + "/16 dev " + pair->link.nameA);
    pair->lab.ip(pair->nsB, "addr add " + pair->ipv4B + "/16 dev " + pair->link.nameB);
    pair->lab.ip(pair->nsA,
                 "-6 addr add " + pair->ipv6A + "/64 dev " + pair->link.nameA + " nodad");
    pair->lab.ip(pair->nsB,
                 "-6 addr add " + pair->ipv6B + "/64 dev " + pair->link.nameB + " nodad");
    return pair;
}

}  // namespace sorvanta::testing
