// A light LMTP probe client for the benchmark: sends one message at a time on each of its
// connections, paced to a total rate, and measures the time from the final "." to the reply.
// With --protocol checkv2 it is Rspamd's client instead: each message is one "POST /checkV2"
// with the fields quillgate sends, on a new connection, timed from the connect to the reply.
//
// Usage: bench_probe --target tcp:HOST:PORT|unix:PATH [--size BYTES | --message FILE]
//                    [--protocol lmtp|checkv2] [--rate PER_SECOND] [--connections K]
//                    [--duration SECONDS] [--count N] [--samples FILE]
// Runs until the duration or the count is reached, or until SIGINT or SIGTERM, then prints one
// line: "probe sent=N ok=N failed=N p50_us=.. p99_us=.. p999_us=.. max_us=.. near40ms=N
// elapsed_us=..". A message file has lines ending in LF or CRLF; they are sent with CRLF.
#include <algorithm>
#include <atomic>
#include <cctype>
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
    std::string message_path; // a message to send instead of one of `size` bytes
    bool checkv2 = false;     // Rspamd's "/checkV2" instead of LMTP
    double rate = 50;         // messages per second over all connections; 0 sends back to back
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

// The text of a message file with every line ending in CRLF, or the empty text on failure.
std::string read_message(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string text;
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        text.append(line).append("\r\n");
    }
    return text;
}

// The message as DATA sends it: a line beginning with "." gets a second one.
std::string dot_stuff(const std::string& text) {
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find("\r\n", start), text.size() - 2) + 2;
        if (text[start] == '.') out.push_back('.');
        out.append(text, start, end - start);
        start = end;
    }
    return out;
}

// The scan request as quillgate writes it for a message that smtp-source delivered over LMTP
// on 127.0.0.1 with "-M localhost -f probe@localhost -t probe@localhost" (no XFORWARD, so the
// client address is the LMTP peer's).
std::string build_scan_request(const std::string& message) {
    return "POST /checkV2 HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Boost.Beast/357\r\n"
           "Content-Type: text/plain\r\nFrom: <probe@localhost>\r\nRcpt: <probe@localhost>\r\n"
           "IP: 127.0.0.1\r\nHelo: localhost\r\nContent-Length: " +
           std::to_string(message.size()) + "\r\n\r\n" + message;
}

// A blocking connection to the LMTP server (line replies) or to Rspamd (HTTP replies).
class probe_connection {
  public:
    ~probe_connection() { close(); }

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
            if (!receive()) return false;
        }
    }

    // Reads an HTTP reply to its end (by Content-Length, else to the end of the stream) and
    // tells whether it is a 200 with a verdict.
    bool read_http_reply() {
        std::size_t header_end;
        while ((header_end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!receive()) return false;
        std::string head = buffer_.substr(0, header_end);
        std::transform(head.begin(), head.end(), head.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        const std::size_t field = head.find("\r\ncontent-length:");
        const std::size_t body_size = field == std::string::npos
                                          ? std::string::npos
                                          : std::strtoull(head.c_str() + field + 17, nullptr, 10);
        while (buffer_.size() - header_end - 4 < body_size)
            if (!receive()) break;
        return head.starts_with("http/1.1 200") &&
               buffer_.find("\"action\"", header_end) != std::string::npos;
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
    // Appends what one read brings to the buffer; false on failure or end of stream.
    bool receive() {
        char chunk[4096];
        ssize_t n;
        do {
            n = ::recv(fd_, chunk, sizeof chunk, 0);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_; // received bytes not yet taken as a line
};

// Opens a connection and greets the server; false on failure.
bool start_session(probe_connection& connection, const std::string& target) {
    return connection.open(target) && connection.expect("220") &&
           connection.send_all("LHLO probe.localhost\r\n") && connection.expect("250");
}

// One transaction; the latency from the final "." to the reply goes to `latency_us`.
bool send_message(probe_connection& connection, const std::string& message, long& latency_us) {
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

// One scan on a new connection; the latency from the connect to the whole reply goes to
// `latency_us`.
bool scan_once(const std::string& target, const std::string& request, long& latency_us) {
    probe_connection connection;
    const auto start = clock_type::now();
    const bool ok =
        connection.open(target) && connection.send_all(request) && connection.read_http_reply();
    latency_us = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count());
    return ok;
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
    probe_connection connection;
    bool connected = false;
    while (!stop_requested && clock_type::now() < deadline) {
        std::this_thread::sleep_until(next);
        if (stop_requested || !take_message(remaining)) break;
        if (!connected && !options.checkv2) connected = start_session(connection, options.target);
        long latency_us = 0;
        const bool ok = options.checkv2
                            ? scan_once(options.target, message, latency_us)
                            : connected && send_message(connection, message, latency_us);
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
        else if (name == "--message")
            options.message_path = value;
        else if (name == "--protocol" &&
                 (std::string_view(value) == "lmtp" || std::string_view(value) == "checkv2"))
            options.checkv2 = std::string_view(value) == "checkv2";
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
        std::cerr << "usage: bench_probe --target tcp:HOST:PORT|unix:PATH [--size BYTES | "
                     "--message FILE] [--protocol lmtp|checkv2] [--rate R] [--connections K] "
                     "[--duration S] [--count N] [--samples FILE]\n";
        return 2;
    }
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGPIPE, SIG_IGN);
    const std::string text = options.message_path.empty() ? build_message(options.size)
                                                          : read_message(options.message_path);
    if (text.empty()) {
        std::cerr << "bench_probe: cannot read " << options.message_path << "\n";
        return 2;
    }
    const std::string message = options.checkv2 ? build_scan_request(text) : dot_stuff(text);
    const auto started = clock_type::now();
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
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - started);
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
              << " near40ms=" << near_40ms << " elapsed_us=" << elapsed.count() << std::endl;
    return results.failed == 0 ? 0 : 1;
}
