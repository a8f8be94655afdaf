#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sorvanta::testing {

// A program started by a test, its standard output read line by line as it comes: each
// line is kept with the moment it was read, and a line of tab-separated key=value fields
// is also kept as the program's latest view. Killed (SIGKILL) and reaped with the object.
class NodeProcess {
  public:
    using Clock = std::chrono::steady_clock;
    using View = std::map<std::string, std::string>;

    NodeProcess(const std::string& program, const std::vector<std::string>& arguments) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        std::vector<std::string> all{program};
        all.insert(all.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& argument : all) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork");
        }
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        reader_ = std::thread([this, fd = out[0]] { read(fd); });
    }
    ~NodeProcess() {
        if (!reaped_) {
            ::kill(pid_, SIGKILL);
            wait(10);
        }
        reader_.join();
    }
    NodeProcess(const NodeProcess&) = delete;
    NodeProcess& operator=(const NodeProcess&) = delete;

    void signal(int number) { ::kill(pid_, number); }

    // Waits up to `seconds` for the program to end; its exit status, or none while it runs.
    std::optional<int> wait(double seconds) {
        const auto end = Clock::now() + toDuration(seconds);
        while (!reaped_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                reaped_ = true;
                status_ = status;
                break;
            }
            if (Clock::now() >= end) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }

    // Waits up to `seconds` for a view that satisfies `predicate`, seen from now on or
    // already the latest; returns when it was read.
    template <class Predicate>
    std::optional<Clock::time_point> waitFor(Predicate predicate, double seconds) {
        std::unique_lock lock(mutex_);
        std::size_t next = views_.empty() ? 0 : views_.size() - 1;
        const auto end = Clock::now() + toDuration(seconds);
        while (true) {
            for (; next < views_.size(); ++next) {
                if (predicate(views_[next].second)) {
                    return views_[next].first;
                }
            }
            if (closed_ || changed_.wait_until(lock, end) == std::cv_status::timeout) {
                for (; next < views_.size(); ++next) {
                    if (predicate(views_[next].second)) {
                        return views_[next].first;
                    }
                }
                return std::nullopt;
            }
        }
    }

    View latest() {
        std::lock_guard lock(mutex_);
        return views_.empty() ? View{} : views_.back().second;
    }
    bool printed(const std::string& line) {
        std::lock_guard lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    // Every line so far, for failure messages.
    std::string transcript() {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const auto& line : lines_) {
            text += line + "\n";
        }
        return text;
    }

  private:
    static Clock::duration toDuration(double seconds) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }

    void read(int fd) {
        std::string pending;
        char buffer[4096];
        ssize_t count = 0;
        while ((count = ::read(fd, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
            pending.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
            std::size_t end = 0;
            while ((end = pending.find('\n')) != std::string::npos) {
                keep(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

    void keep(const std::string& line) {
        View view;
        std::size_t start = 0;
        while (start <= line.size()) {
            const std::size_t tab = std::min(line.find('\t', start), line.size());
            const std::string field = line.substr(start, tab - start);
            if (const auto equals = field.find('='); equals != std::string::npos) {
                view[field.substr(0, equals)] = field.substr(equals + 1);
            }
            start = tab + 1;
        }
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        if (!view.empty()) {
            views_.emplace_back(Clock::now(), std::move(view));
        }
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    std::vector<std::pair<Clock::time_point, View>> views_;
    bool closed_ = false;
};

}  // namespace sorvanta::testing
