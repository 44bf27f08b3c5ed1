// Temporary directories, file helpers, bounded waits and free ports for the tests.
#include "support/test_env.hpp"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace test_support {

temp_dir::temp_dir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillgate-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

namespace {

// The first port of the range the kernel takes local ports of outgoing connections from.
unsigned short first_ephemeral_port() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned first = 32768;
    range >> first;
    return static_cast<unsigned short>(first);
}

// Whether `port` on 0.0.0.0 can be bound now.
bool can_bind(unsigned short port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

} // namespace

// Taken below the ephemeral range: a port the kernel hands out for a bind to port 0 may be given
// to another test's outgoing connection before the daemon binds it, and tests open thousands.
unsigned short free_tcp_port() {
    thread_local std::mt19937 random{std::random_device{}()};
    const unsigned short last = static_cast<unsigned short>(first_ephemeral_port() - 1);
    std::uniform_int_distribution<unsigned> pick(last > 20000 ? 10000u : 1024u, last);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const auto port = static_cast<unsigned short>(pick(random));
        if (can_bind(port)) return port;
    }
    throw std::runtime_error("no free TCP port below the ephemeral range");
}

} // namespace test_support
