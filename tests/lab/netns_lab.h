#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace sorvanta::testing {

// A shell command's exit status as pclose gives it (-1: no shell started) and what it printed
// on stdout and stderr.
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult runCommand(const std::string& command);

// What a shell command printed on stdout and stderr, whatever its status.
inline std::string shell(const std::string& command) {
    return runCommand(command).output;
}

// Network namespaces and veth links made for one test and removed with it, also when the test
// fails. Names are unique per process and per lab, so tests may run in parallel. Only
// link-local addresses (169.254.0.0/16, fe80::/10) are ever configured.
class NetnsLab {
  public:
    struct Link {
        std::string nameA, nameB;  // device names in the first and second namespace
        int indexA = 0, indexB = 0;
    };

    NetnsLab();
    ~NetnsLab();
    NetnsLab(const NetnsLab&) = delete;
    NetnsLab& operator=(const NetnsLab&) = delete;

    // Empty when this process can make namespaces, else why not (tests then skip).
    static std::string unavailableReason();

    // Makes a namespace with its loopback up; returns its full name. Throws on failure.
    std::string addNamespace(const std::string& tag);

    // Joins two namespaces with a veth pair, both ends up, without automatic IPv6 addresses.
    Link addLink(const std::string& nsA, const std::string& nsB);

    // Runs an `ip` command inside a namespace, e.g. ip(ns, "addr add 169.254.1.1/16 dev x").
    // Throws with the command and its output on failure.
    void ip(const std::string& ns, const std::string& arguments) const;

    // Drops every packet into and out of the namespace but its loopback's (nft), as a peer
    // that hangs or a cable that stops carrying traffic with its link still up would, until
    // unsilence(). Throws on failure.
    void silence(const std::string& ns) const;
    void unsilence(const std::string& ns) const;

    // Runs `f` on a thread that has entered the namespace; rethrows what it throws.
    static void runIn(const std::string& ns, const std::function<void()>& f);

    // Enters the namespace on the calling thread (for threads this lab did not make).
    static void enter(const std::string& ns);

  private:
    std::string prefix_;
    int counter_ = 0;
    std::vector<std::string> namespaces_;
};

// An io_context served by one thread inside a namespace: every socket its handlers create
// belongs to that namespace. Stops and joins on destruction.
class NetnsThread {
  public:
    // `sendsFromFiles`: prepared, as the program's data threads are, for connections that
    // send repeated payload from a file; without it they write the bytes themselves.
    explicit NetnsThread(const std::string& ns, bool sendsFromFiles = true);
    ~NetnsThread();
    NetnsThread(const NetnsThread&) = delete;
    NetnsThread& operator=(const NetnsThread&) = delete;

    asio::io_context& context() { return context_; }
    asio::any_io_executor executor() { return context_.get_executor(); }

    // Runs `f` on the thread and waits for its result.
    template <class F>
    auto call(F f) -> decltype(f()) {
        std::packaged_task<decltype(f())()> task(std::move(f));
        auto result = task.get_future();
        post([&task] { task(); });
        return result.get();
    }

    void post(std::function<void()> f);

  private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

// Two namespaces joined by one veth pair: side A has 169.254.<n>.1/16 and fe80::1/64, side B
// 169.254.<n>.2/16 and fe80::2/64, both IPv6 addresses without duplicate detection.
struct NetnsPair {
    NetnsLab lab;
    std::string nsA, nsB;
    NetnsLab::Link link;
    std::string ipv4A, ipv4B;  // without prefix length
    std::string ipv6A = "fe80::1", ipv6B = "fe80::2";

    // Returns null and sets `whyNot` when namespaces cannot be made.
    static std::unique_ptr<NetnsPair> create(std::string& whyNot);
};

}  // namespace sorvanta::testing

// In a test body: makes a NetnsPair named `var`, or skips the test saying why it cannot.
#define SORVANTA_NETNS_PAIR_OR_SKIP(var)                                   \
    std::string var##WhyNot;                                               \
    auto var = ::sorvanta::testing::NetnsPair::create(var##WhyNot);        \
    if (!var) {                                                            \
        GTEST_SKIP() << "network namespaces unavailable: " << var##WhyNot; \
    }
