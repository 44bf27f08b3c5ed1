// The scripted SMTP server of the tests: an accept loop per listener and one session per
// connection on the fake's own event loop, recording under one lock.
#include "support/fake_mail_server.hpp"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <unistd.h>

namespace test_support {

namespace asio = boost::asio;
using boost::system::error_code;

// Everything the fake shares between its thread and the test: script choice, records, loop.
struct fake_mail_state {
    mutable std::mutex mutex;
    mutable std::condition_variable changed; // signalled on every delivery and closed connection
    std::function<fake_mail_script(std::size_t)> chooser;
    std::vector<fake_mail_connection> connections;
    std::vector<fake_delivery> deliveries;

    asio::io_context io_context;
    asio::ip::tcp::acceptor tcp_acceptor{io_context};
    std::optional<asio::local::stream_protocol::acceptor> unix_acceptor;
    std::string socket_path;
    std::uint16_t port = 0;
    std::thread thread;

    // Registers a new connection and returns its number and script.
    std::pair<std::size_t, fake_mail_script> open_connection() {
        std::size_t number = 0;
        std::function<fake_mail_script(std::size_t)> choose;
        {
            std::lock_guard lock(mutex);
            connections.emplace_back();
            number = connections.size() - 1;
            choose = chooser;
        }
        return {number, choose(number)};
    }

    // Applies `change` to the record of connection `number` under the lock.
    template <typename Change> void record(std::size_t number, Change change) {
        {
            std::lock_guard lock(mutex);
            change(connections[number]);
        }
        changed.notify_all();
    }

    // Adds one accepted message.
    void deliver(fake_delivery delivery) {
        {
            std::lock_guard lock(mutex);
            deliveries.push_back(std::move(delivery));
        }
        changed.notify_all();
    }
};

namespace {

// The verb of a command line in upper case: its text up to the first blank or colon.
std::string verb_of(const std::string& line) {
    std::string verb = line.substr(0, line.find_first_of(" :\r\n"));
    for (auto& c : verb) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return verb;
}

// `line` without its trailing "\n" or "\r\n".
std::string without_line_end(std::string line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

// Whether the last line of `reply` begins with `digit`: the class of a (multi-line) reply.
bool reply_class_is(const fake_step& step, char digit) {
    const auto& reply = step.reply;
    auto end = reply.find_last_not_of("\r\n");
    if (end == std::string::npos) return false;
    const auto begin = reply.find_last_of('\n', end);
    const auto first = begin == std::string::npos ? 0 : begin + 1;
    return reply[first] == digit;
}

// The argument after the first colon of a command line, without surrounding blanks.
std::string argument_of(const std::string& command) {
    const auto colon = command.find(':');
    if (colon == std::string::npos) return {};
    const auto first = command.find_first_not_of(' ', colon + 1);
    if (first == std::string::npos) return {};
    return command.substr(first, command.find_last_not_of(' ') + 1 - first);
}

// The SMTP dialogue of one connection, answered from its script.
template <typename Socket>
class fake_session : public std::enable_shared_from_this<fake_session<Socket>> {
  public:
    fake_session(fake_mail_state& state, Socket socket)
        : state_(state), socket_(std::move(socket)), timer_(socket_.get_executor()) {}

    // Registers the connection and sends the greeting.
    void run() {
        auto [number, script] = state_.open_connection();
        number_ = number;
        script_ = std::move(script);
        write_step(script_.greeting);
    }

  private:
    // Reads the next line, command or data.
    void do_read() {
        auto self = this->shared_from_this();
        asio::async_read_until(socket_, buffer_, "\n", [self](const error_code& ec, std::size_t n) {
            if (ec) return self->on_closed();
            self->on_read(n);
        });
    }

    // Takes one received line and records it.
    void on_read(std::size_t length) {
        const auto bytes = asio::buffers_begin(buffer_.data());
        std::string line(bytes, bytes + static_cast<std::ptrdiff_t>(length));
        buffer_.consume(length);
        const bool in_data = in_data_;
        state_.record(number_, [&](fake_mail_connection& c) {
            c.transcript += line;
            if (in_data)
                c.data += line;
            else
                c.commands.push_back(without_line_end(line));
        });
        if (in_data) return on_data_line(line);
        on_command(without_line_end(line));
    }

    // Follows one line of message data: collects it, or ends the data at the line ".".
    void on_data_line(const std::string& line) {
        if (without_line_end(line) != ".") {
            message_ += line.starts_with('.') ? line.substr(1) : line;
            return do_read();
        }
        in_data_ = false;
        if (reply_class_is(script_.message, '2')) {
            state_.deliver(
                {sender_, recipients_, std::move(message_), std::chrono::steady_clock::now()});
        }
        message_.clear();
        write_step(script_.message);
    }

    // Follows one command line: answers it from the script.
    void on_command(const std::string& command) {
        const auto verb = verb_of(command);
        if (verb == "EHLO" || verb == "HELO") return write_step(script_.ehlo);
        if (verb == "XFORWARD") return write_step(script_.xforward);
        if (verb == "MAIL") return on_mail_from(command);
        if (verb == "RCPT") return on_rcpt_to(command);
        if (verb == "DATA") return on_data(command);
        if (verb == "QUIT") return write_step(script_.quit);
        if (verb == "RSET" || verb == "NOOP") return write_step("250 2.0.0 Ok\r\n");
        write_step(script_.other);
    }

    // Starts a transaction for the sender of a MAIL FROM command.
    void on_mail_from(const std::string& command) {
        sender_ = argument_of(command);
        recipients_.clear();
        rcpt_count_ = 0;
        write_step(script_.mail_from);
    }

    // Answers one RCPT TO and keeps the recipient when the answer accepts it.
    void on_rcpt_to(const std::string& command) {
        const auto index = rcpt_count_++;
        const fake_step step = index < script_.rcpt_to_by_index.size()
                                   ? script_.rcpt_to_by_index[index]
                                   : script_.rcpt_to;
        if (reply_class_is(step, '2')) recipients_.push_back(argument_of(command));
        write_step(step);
    }

    // Answers DATA; a "3" reply switches to reading message data.
    void on_data(const std::string&) {
        in_data_ = reply_class_is(script_.data, '3');
        if (in_data_) read_pause_ = script_.data_pause;
        write_step(script_.data);
    }

    // Writes a step's reply after its delay, then reads on or closes as the step says.
    void write_step(const fake_step& step) {
        if (step.delay.count() > 0) {
            timer_.expires_after(step.delay);
            auto self = this->shared_from_this();
            timer_.async_wait([self, step = step](const error_code&) mutable {
                step.delay = {};
                self->write_step(step);
            });
            return;
        }
        if (step.reply.empty()) return on_written(step.close_after);
        write_buffer_ = step.reply;
        auto self = this->shared_from_this();
        const bool close_after = step.close_after;
        asio::async_write(socket_, asio::buffer(write_buffer_),
                          [self, close_after](const error_code& ec, std::size_t) {
                              if (ec) return self->on_closed();
                              self->on_written(close_after);
                          });
    }

    // Follows a written reply.
    void on_written(bool close_after) {
        if (!close_after && read_pause_.count() > 0) {
            timer_.expires_after(std::exchange(read_pause_, {}));
            auto self = this->shared_from_this();
            timer_.async_wait([self](const error_code&) { self->do_read(); });
            return;
        }
        if (!close_after) return do_read();
        error_code ignored;
        socket_.shutdown(Socket::shutdown_both, ignored);
        socket_.close(ignored);
        on_closed();
    }

    // Marks the connection as ended; the session dies with its last handler.
    void on_closed() {
        state_.record(number_, [](fake_mail_connection& c) { c.closed = true; });
    }

    fake_mail_state& state_;
    Socket socket_;
    std::size_t number_ = 0; // the connection's index in the records
    fake_mail_script script_;
    asio::steady_timer timer_; // the delay of a step, the pause before reading the data
    std::chrono::milliseconds read_pause_{0}; // to wait before the next read
    asio::streambuf buffer_;
    std::string write_buffer_;
    bool in_data_ = false; // between the "354" and the line "."
    std::string sender_;
    std::vector<std::string> recipients_; // accepted in the current transaction
    std::size_t rcpt_count_ = 0;          // RCPT TO commands in the current transaction
    std::string message_;                 // the data so far, dot-unstuffed
};

// Accepts connections on `acceptor` for as long as it is open.
template <typename Acceptor> void accept_on(fake_mail_state& state, Acceptor& acceptor) {
    acceptor.async_accept([&state, &acceptor](const error_code& ec, auto socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (!ec) {
            std::make_shared<fake_session<decltype(socket)>>(state, std::move(socket))->run();
        }
        accept_on(state, acceptor);
    });
}

// Opens the TCP listener on 127.0.0.1 at a free port.
void listen_tcp(fake_mail_state& state) {
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 0);
    state.tcp_acceptor.open(endpoint.protocol());
    state.tcp_acceptor.set_option(asio::socket_base::reuse_address(true));
    state.tcp_acceptor.bind(endpoint);
    state.tcp_acceptor.listen();
    state.port = state.tcp_acceptor.local_endpoint().port();
    accept_on(state, state.tcp_acceptor);
}

// Opens the Unix-domain listener at `path`.
void listen_unix(fake_mail_state& state, const std::string& path) {
    state.socket_path = path;
    state.unix_acceptor.emplace(state.io_context, asio::local::stream_protocol::endpoint(path));
    accept_on(state, *state.unix_acceptor);
}

// Waits on `state` until `done` holds or `limit` passes.
template <typename Done>
bool wait_until(const fake_mail_state& state, std::chrono::milliseconds limit, Done done) {
    std::unique_lock lock(state.mutex);
    return state.changed.wait_for(lock, limit, done);
}

} // namespace

fake_mail_server::fake_mail_server(fake_mail_script script)
    : fake_mail_server(std::move(script), "") {}

fake_mail_server::fake_mail_server(fake_mail_script script, const std::string& socket_path)
    : state_(std::make_unique<fake_mail_state>()) {
    set_script(std::move(script));
    listen_tcp(*state_);
    if (!socket_path.empty()) listen_unix(*state_, socket_path);
    state_->thread = std::thread([state = state_.get()] { state->io_context.run(); });
}

fake_mail_server::~fake_mail_server() {
    state_->io_context.stop();
    state_->thread.join();
    if (!state_->socket_path.empty()) ::unlink(state_->socket_path.c_str());
}

std::uint16_t fake_mail_server::port() const {
    return state_->port;
}

const std::string& fake_mail_server::socket_path() const {
    return state_->socket_path;
}

void fake_mail_server::set_script(fake_mail_script script) {
    set_script_chooser([script = std::move(script)](std::size_t) { return script; });
}

void fake_mail_server::set_script_chooser(std::function<fake_mail_script(std::size_t)> chooser) {
    std::lock_guard lock(state_->mutex);
    state_->chooser = std::move(chooser);
}

std::vector<fake_mail_connection> fake_mail_server::connections() const {
    std::lock_guard lock(state_->mutex);
    return state_->connections;
}

std::vector<fake_delivery> fake_mail_server::deliveries() const {
    std::lock_guard lock(state_->mutex);
    return state_->deliveries;
}

bool fake_mail_server::wait_for_deliveries(std::size_t count,
                                           std::chrono::milliseconds limit) const {
    return wait_until(*state_, limit, [&] { return state_->deliveries.size() >= count; });
}

bool fake_mail_server::wait_for_closed(std::size_t count, std::chrono::milliseconds limit) const {
    return wait_until(*state_, limit, [&] {
        std::size_t closed = 0;
        for (const auto& c : state_->connections)
            closed += c.closed ? 1 : 0;
        return closed >= count;
    });
}

} // namespace test_support
