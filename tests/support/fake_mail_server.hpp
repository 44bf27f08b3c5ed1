// A scripted SMTP server for the tests, standing in for the mail server that takes re-injected
// mail: it listens on 127.0.0.1 (port 0) and optionally on a Unix-domain socket, answers every
// connection from a script, and records what each client sent.
//
// It runs its own event loop on its own thread and serves any number of connections at once; the
// accessors copy the records under a lock, so tests may call them from any thread. Commands are
// matched by their verb (EHLO or HELO, XFORWARD, MAIL, RCPT, DATA, QUIT; RSET and NOOP get "250",
// anything else `other`), so replies stay tied to commands even when a client is out of step.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

struct fake_mail_state;

// One answer of the fake: the bytes it writes, then whether it closes the connection.
struct fake_step {
    std::string reply;        // written exactly as given (line ends included); empty writes nothing
    bool close_after = false; // close the connection once `reply` is written
    std::chrono::milliseconds delay{0}; // pause before the answer, reading nothing meanwhile

    fake_step() = default;
    // Answers with `text`, exactly as given.
    fake_step(std::string text) : reply(std::move(text)) {}
    fake_step(const char* text) : reply(text) {}

    // Closes the connection without answering.
    static fake_step close() { return {"", true}; }
    // Answers with `text`, then closes the connection.
    static fake_step answer_then_close(std::string text) { return {std::move(text), true}; }
    // Answers nothing and keeps reading.
    static fake_step silence() { return {}; }
    // Answers with `text` after a pause of `pause`.
    static fake_step delayed(std::string text, std::chrono::milliseconds pause) {
        fake_step step(std::move(text));
        step.delay = pause;
        return step;
    }

  private:
    fake_step(std::string text, bool close) : reply(std::move(text)), close_after(close) {}
};

// How the fake behaves on one connection: a step for the greeting and one per command; the
// defaults are a well-behaved server that announces XFORWARD.
struct fake_mail_script {
    fake_step greeting = "220 fake.test ESMTP\r\n";
    fake_step ehlo = "250-fake.test\r\n250-XFORWARD NAME ADDR PROTO HELO SOURCE PORT IDENT\r\n"
                     "250 8BITMIME\r\n";
    fake_step xforward = "250 2.0.0 Ok\r\n";
    fake_step mail_from = "250 2.1.0 Ok\r\n";
    fake_step rcpt_to = "250 2.1.5 Ok\r\n";  // for every RCPT TO without an entry below
    std::vector<fake_step> rcpt_to_by_index; // the answer to the first, second, ... RCPT TO
    fake_step data = "354 End data with <CR><LF>.<CR><LF>\r\n"; // "3" (last line) starts the data
    fake_step message = "250 2.0.0 Ok: queued as 4F00D\r\n";    // after the final "."; "2" delivers
    fake_step quit = "221 2.0.0 Bye\r\n";
    fake_step other = "502 5.5.2 Error: command not recognized\r\n";
    std::chrono::milliseconds data_pause{0}; // after the "354", this long before reading the data
};

// What one client connection sent, in order of arrival.
struct fake_mail_connection {
    std::vector<std::string> commands; // each command line without its line end
    std::string data;       // the bytes after the "354", up to and including the line "."
    std::string transcript; // every byte received, commands and data alike
    bool closed = false;    // the connection has ended (closed by either side)
};

// One message that the fake accepted with a "2" reply after its data.
struct fake_delivery {
    std::string sender;                  // the text after "MAIL FROM:", brackets included
    std::vector<std::string> recipients; // the accepted texts after "RCPT TO:"
    std::string data;                    // the message, dot-unstuffed, without the final "."
    std::chrono::steady_clock::time_point received_at; // when the final "." was read
};

// The fake server; stops its loop, closes every connection and joins its thread on destruction.
class fake_mail_server {
  public:
    // Listens on 127.0.0.1 at a free port.
    explicit fake_mail_server(fake_mail_script script = {});
    // Listens on 127.0.0.1 at a free port and on a Unix-domain socket at `socket_path`.
    fake_mail_server(fake_mail_script script, const std::string& socket_path);
    ~fake_mail_server();
    fake_mail_server(const fake_mail_server&) = delete;
    fake_mail_server& operator=(const fake_mail_server&) = delete;

    std::uint16_t port() const;
    const std::string& socket_path() const; // empty when there is no Unix-domain listener

    // Uses `script` for the connections accepted from now on.
    void set_script(fake_mail_script script);
    // Chooses the script of each connection accepted from now on by its number (0, 1, ...); runs
    // on the fake's own thread.
    void set_script_chooser(std::function<fake_mail_script(std::size_t)> chooser);

    // The records of every connection so far, in order of acceptance.
    std::vector<fake_mail_connection> connections() const;
    // The messages accepted so far, in order.
    std::vector<fake_delivery> deliveries() const;

    // Waits until `count` messages have been accepted; false when `limit` passes first.
    bool wait_for_deliveries(std::size_t count, std::chrono::milliseconds limit) const;
    // Waits until `count` connections have ended; false when `limit` passes first.
    bool wait_for_closed(std::size_t count, std::chrono::milliseconds limit) const;

  private:
    std::unique_ptr<fake_mail_state>
        state_; // the loop, listeners and records, on the fake's thread
};

} // namespace test_support
