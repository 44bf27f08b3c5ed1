// A light LMTP probe client for the benchmark: sends one message at a time on each of its
// connections, paced to a total rate, and measures the time from the final "." to the reply.
//
// Usage: bench_probe --target tcp:HOST:PORT|unix:PATH [--size BYTES] [--rate PER_SECOND]
//                    [--connections K] [--duration SECONDS] [--count N] [--samples FILE]
// Runs until the duration or the count is reached, or until SIGINT or SIGTERM, then prints one
// line: "probe sent=N ok=N failed=N p50_us=.. p99_us=.. p999_us=.. max_us=.. near40ms=N".
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using clock_type = std::chrono::steady_clock;

std::atomic<bool> stop_requested{false};

// Asks every connection to end after its current message.
void on_stop_signal(int) {
    stop_requested = true;
}

// What the command line asks for.
struct probe_options {
    std::string target;
    std::size_t size = 4096;
    double rate = 50; // messages per second over all connections; 0 sends back to back
    int connections = 1;
    double duration = 0;      // seconds; 0 runs until the count or a signal
    long count = 0;           // messages over all connections; 0 has no limit
    std::string samples_path; // where each latency in microseconds is written, one per line
};

// The counts and latencies of all connections.
struct probe_results {
    std::mutex mutex;
    std::vector<long> latencies_us;
    long sent = 0;
    long ok = 0;
    long failed = 0;
};

// One message of about `size` bytes: a few header fields, then lines of letters.
std::string build_message(std::size_t size) {
    std::string text = "From: <probe@localhost>\r\nTo: <probe@localhost>\r\nSubject: probe\r\n"
                       "X-Spam: no\r\nMessage-Id: <probe@localhost>\r\n\r\n";
    std::string line;
    for (int i = 0; i < 76; ++i)
        line.push_back(static_cast<char>('a' + i % 26));
    line.append("\r\n");
    while (text.size() < size)
        text.append(line);
    return text;
}

// A blocking connection to the LMTP server with a line reader.
class lmtp_connection {
  public:
    ~lmtp_connection() { close(); }

    // Connects to `target`; false on failure.
    bool open(const std::string& target) {
        close();
        if (target.starts_with("unix:")) {
            fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            const std::string path = target.substr(5);
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                return false;
        } else {
            const std::string rest = target.starts_with("tcp:") ? target.substr(4) : target;
            const auto colon = rest.rfind(':');
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<uint16_t>(std::atoi(rest.c_str() + colon + 1)));
            ::inet_pton(AF_INET, rest.substr(0, colon).c_str(), &address.sin_addr);
            fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
            int one = 1;
            ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                return false;
        }
        timeval limit{120, 0}; // a stalled server cannot hold the probe for ever
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        buffer_.clear();
        return true;
    }

    // Closes the connection if it is open.
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    // Writes all of `bytes`; false on failure.
    bool send_all(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    // Reads one line without its CRLF; false on failure or end of stream.
    bool read_line(std::string& line) {
        while (true) {
            const auto end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return true;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // Reads a whole reply, multi-line or not, and tells whether it begins with `code`.
    bool expect(std::string_view code) {
        std::string line;
        do {
            if (!read_line(line)) return false;
        } while (line.size() > 3 && line[3] == '-');
        return line.starts_with(code);
    }

  private:
    int fd_ = -1;
    std::string buffer_; // received bytes not yet taken as a line
};

// Opens a connection and greets the server; false on failure.
bool start_session(lmtp_connection& connection, const std::string& target) {
    return connection.open(target) && connection.expect("220") &&
           connection.send_all("LHLO probe.localhost\r\n") && connection.expect("250");
}

// One transaction; the latency from the final "." to the reply goes to `latency_us`.
bool send_message(lmtp_connection& connection, const std::string& message, long& latency_us) {
    if (!connection.send_all("MAIL FROM:<probe@localhost>\r\n") || !connection.expect("250"))
        return false;
    if (!connection.send_all("RCPT TO:<probe@localhost>\r\n") || !connection.expect("250"))
        return false;
    if (!connection.send_all("DATA\r\n") || !connection.expect("354")) return false;
    if (!connection.send_all(message)) return false;
    const auto start = clock_type::now();
    if (!connection.send_all(".\r\n")) return false;
    const bool accepted = connection.expect("250");
    latency_us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count());
    return accepted;
}

// Takes the next message number, or false when the count is used up.
bool take_message(std::atomic<long>& remaining) {
    return remaining.fetch_sub(1) > 0;
}

// Runs one connection's paced loop until it is told to stop.
void run_connection(const probe_options& options, const std::string& message, int index,
                    clock_type::time_point deadline, std::atomic<long>& remaining,
                    probe_results& results) {
    using namespace std::chrono;
    const auto interval = options.rate > 0
                              ? duration_cast<clock_type::duration>(duration<double>(
                                    static_cast<double>(options.connections) / options.rate))
                              : clock_type::duration::zero();
    auto next = clock_type::now() + interval * index / options.connections;
    lmtp_connection connection;
    bool connected = false;
    while (!stop_requested && clock_type::now() < deadline) {
        std::this_thread::sleep_until(next);
        if (stop_requested || !take_message(remaining)) break;
        if (!connected) connected = start_session(connection, options.target);
        long latency_us = 0;
        const bool ok = connected && send_message(connection, message, latency_us);
        {
            const std::lock_guard<std::mutex> lock(results.mutex);
            ++results.sent;
            if (ok) {
                ++results.ok;
                results.latencies_us.push_back(latency_us);
            } else {
                ++results.failed;
            }
        }
        if (!ok) connected = false; // start over on a fresh connection
        next += interval;
        const auto now = clock_type::now();
        if (next < now) next = now; // a late message does not cause a burst
    }
    if (connected && connection.send_all("QUIT\r\n")) connection.expect("221");
}

// The value at fraction `q` of the sorted `values`, or 0 when there is none.
long percentile(const std::vector<long>& values, double q) {
    if (values.empty()) return 0;
    const auto index = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// Reads the command line into `options`; false on an unknown option.
bool parse_options(int argc, char* argv[], probe_options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string_view name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--target")
            options.target = value;
        else if (name == "--size")
            options.size = std::strtoull(value, nullptr, 10);
        else if (name == "--rate")
            options.rate = std::atof(value);
        else if (name == "--connections")
            options.connections = std::max(1, std::atoi(value));
        else if (name == "--duration")
            options.duration = std::atof(value);
        else if (name == "--count")
            options.count = std::atol(value);
        else if (name == "--samples")
            options.samples_path = value;
        else
            return false;
    }
    return !options.target.empty();
}

} // namespace

// Runs the probe and prints its summary line.
int main(int argc, char* argv[]) {
    probe_options options;
    if (!parse_options(argc, argv, options)) {
        std::cerr << "usage: bench_probe --target tcp:HOST:PORT|unix:PATH [--size BYTES] "
                     "[--rate R] [--connections K] [--duration S] [--count N] [--samples FILE]\n";
        return 2;
    }
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGPIPE, SIG_IGN);
    const std::string message = build_message(options.size);
    const auto deadline =
        options.duration > 0
            ? clock_type::now() + std::chrono::duration_cast<clock_type::duration>(
                                      std::chrono::duration<double>(options.duration))
            : clock_type::time_point::max();
    std::atomic<long> remaining{options.count > 0 ? options.count : (1L << 62)};
    probe_results results;
    std::vector<std::thread> threads;
    for (int i = 0; i < options.connections; ++i) {
        threads.emplace_back(run_connection, std::cref(options), std::cref(message), i, deadline,
                             std::ref(remaining), std::ref(results));
    }
    for (auto& thread : threads)
        thread.join();
    auto& latencies = results.latencies_us;
    if (!options.samples_path.empty()) {
        std::ofstream samples(options.samples_path);
        for (const long value : latencies)
            samples << value << "\n";
    }
    std::sort(latencies.begin(), latencies.end());
    const auto near_40ms = std::count_if(latencies.begin(), latencies.end(),
                                         [](long us) { return us >= 30000 && us <= 50000; });
    std::cout << "probe sent=" << results.sent << " ok=" << results.ok
              << " failed=" << results.failed << " p50_us=" << percentile(latencies, 0.5)
              << " p99_us=" << percentile(latencies, 0.99)
              << " p999_us=" << percentile(latencies, 0.999)
              << " max_us=" << (latencies.empty() ? 0 : latencies.back())
              << " near40ms=" << near_40ms << std::endl;
    return results.failed == 0 ? 0 : 1;
}
