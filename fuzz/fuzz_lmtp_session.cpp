// Fuzz target for the LMTP session: the fuzzer's bytes are sent over a Unix-domain socket to the
// real accept loop and session, with a loopback scanner and mail server behind them. Every
// command line must get exactly one reply, every transaction one reply line per recipient with
// the verdict's text, and every accepted message must reach the mail server once, unchanged.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "config/config.hpp"
#include "fake_peers.hpp"
#include "lmtp_server/server.hpp"

namespace asio = boost::asio;
using asio::local::stream_protocol;

namespace {

// What the loopback scanner does in one run, chosen by the input's first byte.
struct scanner_mode {
    const char* answer;        // the reply body; null: no scanner listens
    const char* reject_action; // the session's `reject_action`
    const char* verdict;       // the reply line to the end of the data
    bool forwards;             // the verdict hands the message to the mail server
    bool edits;                // the scanner asks for header edits, so the text may change
};

constexpr std::array<scanner_mode, 7> modes{{
    {nullptr, "reject", "451 Temporary local problem - could not connect to Rspamd", false, false},
    {R"({"action":"no action","symbols":{}})", "reject", "250 OK: Message accepted for scanning",
     true, false},
    {R"({"action":"reject","symbols":{"QUARANTINED":{"score":1}}})", "reject",
     "250 OK: Message quarantined", false, false},
    {R"({"action":"reject"})", "reject", "554 5.7.1 Message rejected due to content policies",
     false, false},
    {R"({"action":"reject"})", "rewrite_recipients",
     "250 OK: Message accepted (recipients rewritten)", true, false},
    {R"({"action":"add header","milter":{"remove_headers":{"subject":1},"add_headers":)"
     R"({"X-Spam-Flag":{"value":"YES, it is spam; very much so, and this value is long enough )"
     R"(to be folded at least once","order":1}}}})",
     "accept", "250 OK: Message accepted for scanning", true, true},
    {"this is not JSON", "reject", "451 Temporary local problem - could not parse Rspamd response",
     false, false},
}};

constexpr const char* forward_failed = "451 Temporary local problem, could not forward email";

// Ends the run with a message when the dialogue broke a rule.
void expect(bool condition, const std::string& what) {
    if (condition) return;
    std::fprintf(stderr, "lmtp_session fuzz: %s\n", what.c_str());
    std::abort();
}

// The six ASCII whitespace bytes.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The text without leading and trailing whitespace.
std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

// Whether `text` begins with `prefix`, ASCII letters compared without case.
bool starts_with_word(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != prefix[i]) return false;
    }
    return true;
}

// One reply the session must send: its exact text, or any well-formed LHLO reply.
struct expected_reply {
    std::string text;
    bool lhlo = false;
};

// One transaction that reached the end of its data.
struct transaction {
    std::size_t recipients = 0;
    std::string text; // the message as collected: dots removed, every line ended by "\n"
};

// What the session must do with one input: its replies and its finished transactions.
struct dialogue_model {
    std::vector<expected_reply> replies;
    std::vector<transaction> transactions;
};

// Plays the LMTP dialogue rules over the complete lines of `input`.
dialogue_model model_dialogue(std::string_view input, const scanner_mode& mode) {
    dialogue_model model;
    model.replies.push_back({"220 localhost LMTP server ready"});
    bool in_data = false;
    transaction current;
    std::size_t start = 0;
    for (auto end = input.find('\n'); end != std::string_view::npos;
         start = end + 1, end = input.find('\n', start)) {
        const std::string_view line = input.substr(start, end - start);
        if (in_data) {
            if (line == "." || line == ".\r") {
                in_data = false;
                std::string verdict = mode.verdict;
                if (mode.forwards && current.recipients == 0) verdict = forward_failed;
                for (std::size_t i = 0; i < std::max<std::size_t>(1, current.recipients); ++i)
                    model.replies.push_back({verdict});
                model.transactions.push_back(std::move(current));
                current = transaction();
                continue;
            }
            const std::string_view stored =
                (!line.empty() && line[0] == '.') ? line.substr(1) : line;
            current.text.append(stored);
            current.text += '\n';
            continue;
        }
        const std::string_view command = trim(line);
        if (starts_with_word(command, "LHLO")) {
            model.replies.push_back({"", true});
        } else if (starts_with_word(command, "XFORWARD") ||
                   starts_with_word(command, "MAIL FROM:")) {
            model.replies.push_back({"250 OK"});
        } else if (starts_with_word(command, "RCPT TO:")) {
            ++current.recipients;
            model.replies.push_back({"250 OK"});
        } else if (starts_with_word(command, "DATA")) {
            in_data = true;
            current.text.clear();
            model.replies.push_back({"354 End data with <CR><LF>.<CR><LF>"});
        } else if (starts_with_word(command, "RSET")) {
            current = transaction();
            model.replies.push_back({"250 OK"});
        } else if (starts_with_word(command, "QUIT")) {
            model.replies.push_back({"221 Bye"});
            break;
        } else {
            model.replies.push_back({"502 Command not implemented"});
        }
    }
    return model;
}

// Splits what the client received into replies (a line "NNN-" continues a reply, "NNN " or
// "NNN" ends it); every line must end with CRLF.
std::vector<std::string> split_replies(const std::string& received) {
    std::vector<std::string> replies;
    std::string reply;
    std::size_t start = 0;
    while (start < received.size()) {
        const auto end = received.find("\r\n", start);
        expect(end != std::string::npos, "a reply line does not end with CRLF");
        const std::string line = received.substr(start, end - start);
        start = end + 2;
        const bool coded = line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                           std::isdigit(static_cast<unsigned char>(line[1])) &&
                           std::isdigit(static_cast<unsigned char>(line[2]));
        expect(coded && (line.size() == 3 || line[3] == ' ' || line[3] == '-'),
               "malformed reply line: " + line);
        if (!reply.empty()) reply += "\r\n";
        reply += line;
        if (line.size() > 3 && line[3] == '-') continue;
        replies.push_back(std::move(reply));
        reply.clear();
    }
    expect(reply.empty(), "the last reply is unfinished: " + reply);
    return replies;
}

// Whether `reply` is a well-formed answer to LHLO with the extensions the session must announce.
bool is_lhlo_reply(const std::string& reply) {
    const std::string ending = "\r\n250 OK";
    return reply.rfind("250-localhost\r\n", 0) == 0 &&
           reply.find("\r\n250-PIPELINING\r\n") != std::string::npos &&
           reply.find("\r\n250-XFORWARD NAME ADDR PORT PROTO HELO IDENT SOURCE\r\n") !=
               std::string::npos &&
           reply.size() > ending.size() &&
           reply.compare(reply.size() - ending.size(), ending.size(), ending) == 0;
}

// The text the mail server receives for a collected message: every line, whether it ended with
// CRLF or a bare LF, ended by CRLF; a bare CR inside a line kept.
std::string as_delivered(const std::string& text) {
    std::string wire;
    std::size_t start = 0;
    for (auto lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
        const auto end = (lf > start && text[lf - 1] == '\r') ? lf - 1 : lf;
        wire.append(text, start, end - start);
        wire += "\r\n";
        start = lf + 1;
    }
    if (start < text.size()) wire.append(text, start) += "\r\n";
    return wire;
}

// The daemon's accept loop with the loopback peers, set up once for the whole fuzzing run.
class harness {
  public:
    harness()
        : directory_(make_directory()), scanner_(io_context_, directory_ + "/scanner.sock"),
          mail_server_(io_context_, directory_ + "/mail.sock") {
        stream_protocol::acceptor acceptor(io_context_,
                                           stream_protocol::endpoint(directory_ + "/lmtp.sock"));
        server_ = std::make_unique<server<stream_protocol::acceptor, stream_protocol::socket>>(
            io_context_, std::move(acceptor), [this] { return config(); });
    }

    // Runs one LMTP connection that sends `input` and checks everything it led to.
    void run(const scanner_mode& mode, std::string_view input, std::size_t chunk_size) {
        mode_ = &mode;
        scanner_.answer = mode.answer != nullptr ? mode.answer : "";
        scanner_.clear();
        mail_server_.clear();
        const std::string received = converse(input, chunk_size);
        check(mode, input, received);
    }

    // The private directory that holds the sockets.
    const std::string& directory() const { return directory_; }

  private:
    // A fresh private directory for the sockets.
    static std::string make_directory() {
        char pattern[] = "/tmp/quillgate-fuzz-XXXXXX";
        expect(::mkdtemp(pattern) != nullptr, "cannot create a temporary directory");
        return pattern;
    }

    // The configuration each new session gets: the peers' sockets and the mode's reject action.
    Config config() const {
        Config config;
        config.rspamd_socket_path =
            directory_ + (mode_->answer != nullptr ? "/scanner.sock" : "/no-scanner.sock");
        config.forward_socket_path = directory_ + "/mail.sock";
        config.timeout_seconds = 60;
        config.log_level = 0;
        config.reject_action = mode_->reject_action;
        return config;
    }

    // Connects, writes the input in pieces of `chunk_size` bytes, half-closes, and reads until
    // the session closes.
    std::string converse(std::string_view input, std::size_t chunk_size) {
        stream_protocol::socket client(io_context_);
        client.connect(stream_protocol::endpoint(directory_ + "/lmtp.sock"));
        std::string received;
        std::array<char, 4096> chunk{};
        bool closed = false;
        std::size_t written = 0;
        std::function<void()> write_next = [&] {
            const std::size_t piece = std::min(chunk_size, input.size() - written);
            asio::async_write(client, asio::buffer(input.data() + written, piece),
                              [&](const boost::system::error_code& ec, std::size_t n) {
                                  written += n;
                                  if (!ec && written < input.size()) return write_next();
                                  boost::system::error_code ignored;
                                  client.shutdown(stream_protocol::socket::shutdown_send, ignored);
                              });
        };
        write_next();
        std::function<void()> do_read = [&] {
            client.async_read_some(asio::buffer(chunk),
                                   [&](const boost::system::error_code& ec, std::size_t n) {
                                       received.append(chunk.data(), n);
                                       if (ec) {
                                           closed = true;
                                           return;
                                       }
                                       do_read();
                                   });
        };
        do_read();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!closed) {
            io_context_.run_one_for(std::chrono::milliseconds(100));
            expect(std::chrono::steady_clock::now() < deadline,
                   "the session neither answered nor closed within 20 s");
        }
        io_context_.poll(); // lets the peers finish their side
        return received;
    }

    // Compares the replies and deliveries with the dialogue rules.
    void check(const scanner_mode& mode, std::string_view input, const std::string& received) {
        const dialogue_model model = model_dialogue(input, mode);
        const std::vector<std::string> replies = split_replies(received);
        for (std::size_t i = 0; i < model.replies.size() && i < replies.size(); ++i) {
            const expected_reply& want = model.replies[i];
            if (want.lhlo) {
                expect(is_lhlo_reply(replies[i]),
                       "reply " + std::to_string(i) + " to LHLO is malformed: " + replies[i]);
            } else {
                expect(replies[i] == want.text, "reply " + std::to_string(i) + " is \"" +
                                                    replies[i] + "\", expected \"" + want.text +
                                                    "\"");
            }
        }
        expect(replies.size() == model.replies.size(), "got " + std::to_string(replies.size()) +
                                                           " replies, expected " +
                                                           std::to_string(model.replies.size()));

        std::vector<const transaction*> forwarded;
        for (const transaction& t : model.transactions)
            if (mode.forwards && t.recipients > 0) forwarded.push_back(&t);
        expect(mail_server_.messages.size() == forwarded.size(),
               "the mail server got " + std::to_string(mail_server_.messages.size()) +
                   " messages, expected " + std::to_string(forwarded.size()));
        for (std::size_t i = 0; i < forwarded.size(); ++i) {
            const delivered_message& message = mail_server_.messages[i];
            expect(message.recipients.size() == forwarded[i]->recipients,
                   "a delivery has the wrong number of recipients");
            for (auto lf = message.text.find('\n'); lf != std::string::npos;
                 lf = message.text.find('\n', lf + 1))
                expect(lf > 0 && message.text[lf - 1] == '\r', "a delivery holds a bare LF");
            if (mode.edits) continue;
            expect(message.text == as_delivered(forwarded[i]->text),
                   "a delivered message differs from the one received");
        }
        if (mode.answer != nullptr) {
            expect(scanner_.requests == model.transactions.size(),
                   "the scanner got " + std::to_string(scanner_.requests) + " requests, expected " +
                       std::to_string(model.transactions.size()));
        }
    }

    asio::io_context io_context_;
    std::string directory_;
    fake_scanner scanner_;
    fake_mail_server mail_server_;
    std::unique_ptr<server<stream_protocol::acceptor, stream_protocol::socket>> server_;
    const scanner_mode* mode_ = &modes[0];
};

harness* the_harness = nullptr; // lives for the whole process; its directory goes at exit

// Removes the socket directory when the fuzzer exits.
void remove_directory() {
    std::error_code ignored;
    if (the_harness != nullptr) std::filesystem::remove_all(the_harness->directory(), ignored);
}

} // namespace

// Sets up the harness and a logger that formats every message at every level and prints none.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    auto logger =
        std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
    the_harness = new harness();
    std::atexit(remove_directory);
    return 0;
}

// The first byte chooses the scanner's answer and the size of the pieces the client writes
// (so lines arrive split or in bursts); the rest is what the LMTP client sends.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const scanner_mode& mode = modes[data[0] % modes.size()];
    constexpr std::array<std::size_t, 4> chunk_sizes{SIZE_MAX, 1, 7, 64};
    const std::size_t chunk_size = chunk_sizes[(data[0] / modes.size()) % chunk_sizes.size()];
    the_harness->run(mode, std::string_view(reinterpret_cast<const char*>(data + 1), size - 1),
                     chunk_size);
    return 0;
}
