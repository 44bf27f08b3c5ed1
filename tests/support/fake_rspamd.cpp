// The fake Rspamd's listeners, its request reader and its scripted answers, all run by one event
// loop on a thread of their own.
#include "support/fake_rspamd.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <unistd.h>

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::local::stream_protocol;

namespace test_support {

namespace detail {

// Everything the fake's thread and the test's threads share; the mutex guards the last five.
struct fake_rspamd_state {
    asio::io_context io_context;
    std::optional<tcp::acceptor> tcp_acceptor;
    std::optional<stream_protocol::acceptor> unix_acceptor;
    std::thread thread;
    std::uint16_t port = 0;
    std::string unix_path;

    mutable std::mutex mutex;
    mutable std::condition_variable changed; // signalled on every recorded request
    std::deque<rspamd_reply> script;
    fake_rspamd::responder choose;
    std::vector<rspamd_request> requests;
    std::size_t connections = 0;
    std::size_t closed_connections = 0; // ended by their client

    // Counts an accepted connection and takes the script's front if it acts before any request.
    std::optional<rspamd_reply> on_accept();
    // Records `request` and picks its reply: the script's front, else the responder's choice.
    rspamd_reply on_request(const rspamd_request& request);
    // Counts a connection that its client ended.
    void on_client_gone();
};

void fake_rspamd_state::on_client_gone() {
    std::lock_guard lock(mutex);
    ++closed_connections;
    changed.notify_all();
}

std::optional<rspamd_reply> fake_rspamd_state::on_accept() {
    std::lock_guard lock(mutex);
    ++connections;
    if (script.empty() || !script.front().before_request) return std::nullopt;
    rspamd_reply reply = std::move(script.front());
    script.pop_front();
    return reply;
}

rspamd_reply fake_rspamd_state::on_request(const rspamd_request& request) {
    fake_rspamd::responder chooser;
    {
        std::lock_guard lock(mutex);
        requests.push_back(request);
        changed.notify_all();
        if (!script.empty()) {
            rspamd_reply reply = std::move(script.front());
            script.pop_front();
            return reply;
        }
        chooser = choose;
    }
    return chooser ? chooser(request) : rspamd_reply::default_verdict();
}

} // namespace detail

namespace {

// Lower-case copy of an ASCII text.
std::string lower(std::string_view text) {
    std::string out(text);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// `text` without leading and trailing blanks and tabs.
std::string_view trim_blanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Splits a header part (request line, fields, blank line) into method, target and fields.
rspamd_request parse_head(std::string_view head) {
    rspamd_request request;
    auto line_end = head.find("\r\n");
    const std::string_view request_line = head.substr(0, line_end);
    const auto first_blank = request_line.find(' ');
    const auto second_blank = request_line.find(' ', first_blank + 1);
    request.method = std::string(request_line.substr(0, first_blank));
    if (first_blank != std::string_view::npos)
        request.target =
            std::string(request_line.substr(first_blank + 1, second_blank - first_blank - 1));
    while (line_end != std::string_view::npos && line_end + 2 < head.size()) {
        const auto start = line_end + 2;
        line_end = head.find("\r\n", start);
        const std::string_view line = head.substr(start, line_end - start);
        if (line.empty()) break;
        const auto colon = line.find(':');
        request.fields.emplace_back(std::string(line.substr(0, colon)),
                                    colon == std::string_view::npos
                                        ? std::string()
                                        : std::string(trim_blanks(line.substr(colon + 1))));
    }
    return request;
}

// The request's "Content-Length", or 0 when it has none that reads as a number.
std::size_t content_length(const rspamd_request& request) {
    const auto values = request.values("Content-Length");
    if (values.empty()) return 0;
    try {
        return static_cast<std::size_t>(std::stoull(values.front()));
    } catch (const std::exception&) {
        return 0;
    }
}

// The reason phrase the fake sends with `status`.
const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// One accepted connection: reads requests and plays the scripted replies.
template <class Socket> class connection : public std::enable_shared_from_this<connection<Socket>> {
  public:
    connection(Socket socket, detail::fake_rspamd_state& state)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), state_(state) {}

    // Acts at once if the script says so, else reads the first request.
    void start() {
        if (auto reply = state_.on_accept()) return answer(std::move(*reply));
        do_read();
    }

  private:
    // Reads up to the blank line that ends the request's header part.
    void do_read() {
        auto self = this->shared_from_this();
        asio::async_read_until(socket_, asio::dynamic_buffer(data_), "\r\n\r\n",
                               [self](const boost::system::error_code& ec, std::size_t head_size) {
                                   if (ec) return self->state_.on_client_gone();
                                   self->on_head(head_size);
                               });
    }

    // Reads whatever is still missing of the body that "Content-Length" announces.
    void on_head(std::size_t head_size) {
        request_ = parse_head(std::string_view(data_).substr(0, head_size));
        head_size_ = head_size;
        const std::size_t total = head_size + content_length(request_);
        if (data_.size() >= total) return on_request(total);
        auto self = this->shared_from_this();
        asio::async_read(socket_, asio::dynamic_buffer(data_),
                         asio::transfer_exactly(total - data_.size()),
                         [self, total](const boost::system::error_code& ec, std::size_t) {
                             if (ec) return self->state_.on_client_gone();
                             self->on_request(total);
                         });
    }

    // Records the complete request and answers it.
    void on_request(std::size_t total) {
        request_.raw = data_.substr(0, total);
        request_.body = data_.substr(head_size_, total - head_size_);
        data_.erase(0, total);
        answer(state_.on_request(request_));
    }

    // Plays `reply`, after its delay when it has one.
    void answer(rspamd_reply reply) {
        reply_ = std::move(reply);
        if (reply_.delay.count() <= 0) return do_write();
        auto self = this->shared_from_this();
        timer_.expires_after(reply_.delay);
        timer_.async_wait([self](const boost::system::error_code& ec) {
            if (ec) return;
            self->do_write();
        });
    }

    // Writes the reply's bytes.
    void do_write() {
        if (reply_.bytes.empty()) return on_write();
        auto self = this->shared_from_this();
        asio::async_write(socket_, asio::buffer(reply_.bytes),
                          [self](const boost::system::error_code& ec, std::size_t) {
                              if (ec) return;
                              self->on_write();
                          });
    }

    // Keeps the connection for a further request, closes it or resets it.
    void on_write() {
        boost::system::error_code ignored;
        switch (reply_.after) {
        case rspamd_reply::then::keep_open:
            return do_read();
        case rspamd_reply::then::close:
            socket_.shutdown(Socket::shutdown_send, ignored);
            socket_.close(ignored);
            return;
        case rspamd_reply::then::reset:
            socket_.set_option(asio::socket_base::linger(true, 0), ignored);
            socket_.close(ignored);
            return;
        }
    }

    Socket socket_;
    asio::steady_timer timer_; // the reply's delay
    detail::fake_rspamd_state& state_;
    std::string data_; // bytes read and not yet part of a complete request
    std::size_t head_size_ = 0;
    rspamd_request request_;
    rspamd_reply reply_;
};

// Accepts connections on `acceptor` for as long as the fake runs.
template <class Acceptor> void do_accept(Acceptor& acceptor, detail::fake_rspamd_state& state) {
    acceptor.async_accept([&acceptor, &state](const boost::system::error_code& ec,
                                              typename Acceptor::protocol_type::socket socket) {
        if (ec) return;
        std::make_shared<connection<typename Acceptor::protocol_type::socket>>(std::move(socket),
                                                                               state)
            ->start();
        do_accept(acceptor, state);
    });
}

} // namespace

std::vector<std::string> rspamd_request::values(std::string_view name) const {
    std::vector<std::string> found;
    const std::string wanted = lower(name);
    for (const auto& [field, value] : fields)
        if (lower(field) == wanted) found.push_back(value);
    return found;
}

rspamd_reply rspamd_reply::http(int status, std::string body, std::string content_type) {
    rspamd_reply reply;
    reply.bytes = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) +
                  "\r\nContent-Type: " + content_type +
                  "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return reply;
}

rspamd_reply rspamd_reply::json(std::string body) {
    return http(200, std::move(body));
}

rspamd_reply rspamd_reply::raw_then_close(std::string bytes) {
    rspamd_reply reply;
    reply.bytes = std::move(bytes);
    reply.after = then::close;
    return reply;
}

rspamd_reply rspamd_reply::silence() {
    return rspamd_reply{};
}

rspamd_reply rspamd_reply::default_verdict() {
    return json(R"({"action":"no action","score":0.0,"required_score":15.0,"symbols":{}})");
}

fake_rspamd::fake_rspamd(rspamd_listen where)
    : state_(std::make_unique<detail::fake_rspamd_state>()) {
    auto& state = *state_;
    if (!where.tcp_address.empty()) {
        const tcp::endpoint endpoint(asio::ip::make_address(where.tcp_address), 0);
        state.tcp_acceptor.emplace(state.io_context, endpoint);
        state.port = state.tcp_acceptor->local_endpoint().port();
        do_accept(*state.tcp_acceptor, state);
    }
    if (!where.unix_path.empty()) {
        ::unlink(where.unix_path.c_str());
        state.unix_acceptor.emplace(state.io_context, stream_protocol::endpoint(where.unix_path));
        state.unix_path = where.unix_path;
        do_accept(*state.unix_acceptor, state);
    }
    state.thread = std::thread([&state] { state.io_context.run(); });
}

fake_rspamd::~fake_rspamd() {
    state_->io_context.stop();
    state_->thread.join();
    if (!state_->unix_path.empty()) ::unlink(state_->unix_path.c_str());
}

std::uint16_t fake_rspamd::port() const {
    return state_->port;
}

const std::string& fake_rspamd::unix_path() const {
    return state_->unix_path;
}

void fake_rspamd::push(rspamd_reply reply) {
    std::lock_guard lock(state_->mutex);
    state_->script.push_back(std::move(reply));
}

void fake_rspamd::respond_with(responder choose) {
    std::lock_guard lock(state_->mutex);
    state_->choose = std::move(choose);
}

std::vector<rspamd_request> fake_rspamd::requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::size_t fake_rspamd::connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}

std::size_t fake_rspamd::closed_connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->closed_connections;
}

bool fake_rspamd::wait_for_requests(std::size_t count, std::chrono::milliseconds limit) const {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, limit, [&] { return state_->requests.size() >= count; });
}

} // namespace test_support
