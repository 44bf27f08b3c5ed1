// The fault-injection soak: the daemon binary between a fake Rspamd and a fake mail server that
// fail at random, under several concurrent LMTP clients; every transaction's answer is checked
// against what reached the mail server (a message answered 421 only if its final "." reached the
// mail server before the 421 reached the client), and the daemon's descriptors (after the load
// with the peers still up and stalling, and after they have gone) and memory.
#include <atomic>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "reliability/reliability_support.hpp"
#include "support/fake_mail_server.hpp"
#include "support/fake_rspamd.hpp"

namespace {

using namespace std::chrono_literals;
using test_support::fake_mail_script;
using test_support::fake_step;
using test_support::line_client;
using test_support::rspamd_reply;

constexpr int timeout_seconds = 2; // the daemon's session time-out during the soak
// A scan answered this long before the time-out, whose forward the mail server then stalls for
// `forward_stall` at one step: the forward is under way at the 421.
constexpr std::chrono::milliseconds scan_lead{300};
constexpr std::chrono::milliseconds forward_stall{700};

// Fault counts by kind, shared between the fakes' threads and the test.
class fault_counts {
  public:
    // Counts `count` faults of `kind` (more than one for faults counted in the daemon's log).
    void add(const std::string& kind, long count = 1) {
        std::lock_guard lock(mutex_);
        counts_[kind] += count;
    }
    // A copy of the counts by kind.
    std::map<std::string, long> snapshot() const {
        std::lock_guard lock(mutex_);
        return counts_;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, long> counts_;
};

// What the soak's "rewrite subject" verdict puts before the text of a message's Subject.
const std::string subject_mark = "[SPAM] ";

// A "rewrite subject" verdict for `request`: its message's Subject marked, "X-Spam: yes" added.
rspamd_reply rewrite_subject_reply(const test_support::rspamd_request& request) {
    const std::string field = "\r\nSubject: ";
    const auto at = request.body.find(field);
    const auto start = at == std::string::npos ? 0 : at + field.size();
    const auto end = request.body.find("\r\n", start);
    const std::string subject =
        at == std::string::npos ? "soak" : request.body.substr(start, end - start);
    return rspamd_reply::json(
        R"({"action":"rewrite subject","subject":")" + subject_mark + subject +
        R"(","milter":{"add_headers":{"X-Spam":{"value":"yes","order":0}}}})");
}

// A scanner reply to `request` drawn at random, its fault kind counted ("verdict" is no fault); a
// reply just before the time-out adds one to `stalls_owed`, for the mail server to stall a
// forward.
rspamd_reply random_scan_reply(const test_support::rspamd_request& request, std::mt19937_64& random,
                               fault_counts& faults, std::atomic<long>& stalls_owed) {
    const int roll = static_cast<int>(random() % 100);
    auto counted = [&](const char* kind, rspamd_reply reply) {
        faults.add(std::string("rspamd ") + kind);
        return reply;
    };
    if (roll < 53) return counted("verdict: no action", rspamd_reply::default_verdict());
    if (roll < 56) return counted("never answering", rspamd_reply::silence());
    if (roll < 58)
        return counted("verdict: add header with a header array",
                       rspamd_reply::json(R"({"action":"add header","milter":{"add_headers":)"
                                          R"({"X-Soak":[{"order":0,"value":"one"},)"
                                          R"({"order":1,"value":"two"}]}}})"));
    if (roll < 60) return counted("verdict: rewrite subject", rewrite_subject_reply(request));
    if (roll < 66) {
        rspamd_reply just_in_time = rspamd_reply::default_verdict();
        just_in_time.delay = std::chrono::seconds(timeout_seconds) - scan_lead;
        ++stalls_owed;
        return counted("just before the time-out, the mail server stalling", just_in_time);
    }
    if (roll < 70)
        return counted("verdict: reject with QUARANTINED",
                       rspamd_reply::json(R"({"action":"reject","symbols":{"QUARANTINED":{}}})"));
    if (roll < 74) return counted("verdict: reject", rspamd_reply::json(R"({"action":"reject"})"));
    if (roll < 76) {
        rspamd_reply late = rspamd_reply::default_verdict();
        late.delay = std::chrono::seconds(timeout_seconds) + 700ms;
        return counted("late past the time-out", late);
    }
    if (roll < 77) return counted("silence", rspamd_reply::silence());
    if (roll < 80)
        return counted("garbage, not HTTP", rspamd_reply::raw_then_close("garbage\r\n\r\n"));
    if (roll < 83)
        return counted("200 with garbage body", rspamd_reply::json("{\"action\": no quotes"));
    if (roll < 86)
        return counted("500 with a body",
                       rspamd_reply::http(500, "<html>internal error</html>", "text/html"));
    if (roll < 89) return counted("close before answering", rspamd_reply::raw_then_close(""));
    if (roll < 91) {
        rspamd_reply reset;
        reset.after = rspamd_reply::then::reset;
        return counted("reset before answering", reset);
    }
    if (roll < 94)
        return counted("truncated body",
                       rspamd_reply::raw_then_close("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"
                                                    "{\"action\""));
    if (roll < 96) return counted("200 with empty body", rspamd_reply::http(200, ""));
    if (roll < 98) return counted("JSON without action", rspamd_reply::json(R"({"score":1})"));
    return counted("verdict: add header with milter block",
                   rspamd_reply::json(R"({"action":"add header","milter":{"add_headers":)"
                                      R"({"X-Spam":{"value":"yes","order":0}}}})"));
}

// The step of `script` called `name`.
fake_step& step_named(fake_mail_script& script, const std::string& name) {
    if (name == "greeting") return script.greeting;
    if (name == "EHLO") return script.ehlo;
    if (name == "XFORWARD") return script.xforward;
    if (name == "MAIL FROM") return script.mail_from;
    if (name == "RCPT TO") return script.rcpt_to;
    if (name == "DATA") return script.data;
    if (name == "message") return script.message;
    return script.quit;
}

// A mail server connection's script drawn at random, its fault kind counted; while `stalls_owed`
// is above 0, a well-behaved one that stalls before one step's answer instead.
fake_mail_script random_mail_script(std::mt19937_64& random, fault_counts& faults,
                                    std::atomic<long>& stalls_owed) {
    static const std::vector<std::string> steps{"greeting", "EHLO", "XFORWARD", "MAIL FROM",
                                                "RCPT TO",  "DATA", "message",  "QUIT"};
    fake_mail_script script;
    const int roll = static_cast<int>(random() % 100);
    const std::string& step = steps[random() % steps.size()];
    auto counted = [&](const std::string& kind) { faults.add("mail server " + kind); };
    if (stalls_owed.load() > 0) {
        --stalls_owed;
        // Before the final ".", or after it: the answer to the message, then QUIT.
        const std::string& stalled = steps[random() % (steps.size() - 2)];
        step_named(script, random() % 3 == 0 ? "message" : stalled).delay = forward_stall;
        counted("stall of " + std::to_string(forward_stall.count()) + " ms");
    } else if (roll < 51) {
        counted("well-behaved");
    } else if (roll < 53) {
        script.quit = fake_step::silence();
        counted("silence at QUIT after accepting");
    } else if (roll < 55) {
        script.quit = fake_step::delayed("221 2.0.0 Bye\r\n", std::chrono::seconds(4));
        counted("answer to QUIT after 4 s");
    } else if (roll < 63) {
        step_named(script, step) = fake_step::close();
        counted("close at " + step);
    } else if (roll < 71) {
        step_named(script, step) = random() % 2 ? "451 4.3.0 try later\r\n" : "554 5.7.1 no\r\n";
        counted("error at " + step);
    } else if (roll < 76) {
        step_named(script, step) = "250-first line\r\n250-second line\r\n" +
                                   std::string(step == "greeting" ? "220"
                                               : step == "DATA"   ? "354"
                                               : step == "QUIT"   ? "221"
                                                                  : "250") +
                                   " last line\r\n";
        counted("multi-line reply at " + step);
    } else if (roll < 80) {
        step_named(script, step) = "550-refused\r\n550 refused still\r\n";
        counted("multi-line error at " + step);
    } else if (roll < 84) {
        step_named(script, step) = "garbage without a code\r\n";
        counted("garbage at " + step);
    } else if (roll < 89) {
        script.message = fake_step::answer_then_close("250 2.0.0 Ok: queued\r\n");
        counted("close after accepting the message");
    } else if (roll < 92) {
        script.quit = "500 what\r\n";
        counted("error at QUIT after accepting");
    } else if (roll < 96) {
        script.rcpt_to_by_index = {"250 2.1.5 Ok\r\n", "550 5.1.1 unknown user\r\n"};
        counted("second recipient refused");
    } else if (roll < 98) {
        script.greeting = "220-fake.test ESMTP\r\n220 still greeting\r\n";
        counted("multi-line greeting");
    } else {
        const std::string& silent = steps[random() % steps.size()];
        step_named(script, silent) = fake_step::silence();
        counted("silence at " + silent);
    }
    return script;
}

// How a transaction ended for its LMTP client.
enum class ending {
    answered,        // the reply to the end of the data was read: `answer` holds its line
    dropped_in_data, // the client closed the connection in the middle of the message
    dropped_waiting, // the client closed the connection after the data, before the answer
    stalled_in_data, // the client stopped sending in the middle of the message: `answer` holds
                     // what came instead, the time-out
};

// One LMTP transaction of the soak.
struct transaction {
    std::string id;
    std::vector<std::string> recipients; // as sent, brackets included
    std::string message;                 // the message text before dot-stuffing
    ending how = ending::answered;
    std::string answer;                                // the reply line without CRLF
    std::chrono::steady_clock::time_point answered_at; // when the client had read `answer`
};

// The message text of transaction `id`: a few headers and body lines, some with leading dots.
std::string random_message(std::mt19937_64& random, const std::string& id) {
    std::string text = "Message-ID: <" + id + "@soak.test>\r\nFrom: <" + id +
                       "@soak.test>\r\nSubject: soak " + id + "\r\n\r\n";
    static const std::vector<std::string> lines{
        "plain text", ".", "..", ".leading dot", "", "trailing dot.", "  indented", "x"};
    const std::size_t count = 1 + random() % 40;
    for (std::size_t i = 0; i < count; ++i)
        text += lines[random() % lines.size()] + "\r\n";
    if (random() % 50 == 0) text += std::string(100000 + random() % 100000, 'b') + "\r\n";
    return text;
}

// `message` dot-stuffed for the wire, with the final ".".
std::string stuffed(const std::string& message) {
    std::string wire;
    std::size_t start = 0;
    while (start < message.size()) {
        const std::size_t end = message.find("\r\n", start);
        const std::string line = message.substr(start, end - start);
        if (line.starts_with('.')) wire += '.';
        wire += line + "\r\n";
        start = end + 2;
    }
    return wire + ".\r\n";
}

// Where a peer listens: a TCP port on 127.0.0.1, or a Unix-domain socket path.
struct peer_address {
    unsigned short port = 0;
    std::string path; // used when non-empty
};

// A new client connection to the daemon at `listen`.
std::unique_ptr<line_client> connect_to(const peer_address& listen) {
    if (!listen.path.empty()) return std::make_unique<line_client>(listen.path);
    return std::make_unique<line_client>(listen.port);
}

// One LMTP client: opens connections and runs transactions until `deadline`.
class soak_client {
  public:
    soak_client(peer_address listen, std::uint64_t seed, std::string prefix,
                std::chrono::steady_clock::time_point deadline)
        : listen_(std::move(listen)), random_(seed), prefix_(std::move(prefix)),
          deadline_(deadline) {}

    // Runs the client's connections one after the other.
    void run() {
        while (std::chrono::steady_clock::now() < deadline_)
            run_connection();
    }

    std::vector<transaction> transactions; // every transaction begun
    std::vector<std::string> errors;       // answers that break the dialogue's rules

  private:
    // Expects the next line to be `wanted`; records an error otherwise.
    bool expect_line(line_client& client, const std::string& wanted, const std::string& what) {
        const std::string line = client.read_line(10s);
        if (line == wanted + "\r\n") return true;
        errors.push_back(what + ": expected \"" + wanted + "\", got \"" + line + "\"");
        return false;
    }

    // One connection: greeting, LHLO, one to four transactions, QUIT.
    void run_connection() {
        const auto connection = connect_to(listen_);
        line_client& client = *connection;
        if (!client.connected()) {
            errors.push_back("connect to the daemon failed");
            std::this_thread::sleep_for(50ms);
            return;
        }
        if (!expect_line(client, "220 localhost LMTP server ready", "greeting")) return;
        client.send("LHLO soak.test\r\n");
        for (const char* line : {"250-localhost", "250-PIPELINING", "250-8BITMIME", "250-SMTPUTF8",
                                 "250-XFORWARD NAME ADDR PORT PROTO HELO IDENT SOURCE", "250 OK"})
            if (!expect_line(client, line, "LHLO")) return;
        const std::size_t count = 1 + random_() % 4;
        for (std::size_t i = 0; i < count; ++i) {
            if (!run_transaction(client)) return; // the connection has ended
        }
        client.send("QUIT\r\n");
        expect_line(client, "221 Bye", "QUIT");
    }

    // One transaction; false when the connection is over afterwards.
    bool run_transaction(line_client& client) {
        transaction t;
        t.id = prefix_ + "t" + std::to_string(next_++);
        const std::size_t recipients = 1 + random_() % 5;
        for (std::size_t r = 0; r < recipients; ++r)
            t.recipients.push_back("<" + t.id + ".r" + std::to_string(r) + "@rcpt.test>");
        t.message = random_message(random_, t.id);

        // Now and then a reset or an unknown command first, answered on their own.
        if (random_() % 12 == 0) {
            client.send("RSET\r\n");
            if (!expect_line(client, "250 OK", "RSET")) return false;
        }
        if (random_() % 25 == 0) {
            client.send("NOOP\r\n");
            if (!expect_line(client, "502 Command not implemented", "NOOP")) return false;
        }
        const bool lower_case = random_() % 10 == 0;
        std::vector<std::string> commands;
        if (random_() % 3 == 0)
            commands.push_back("XFORWARD ADDR=192.0.2." + std::to_string(random_() % 250 + 1) +
                               " HELO=client.test IDENT=" + t.id);
        commands.push_back((lower_case ? "mail from:<" : "MAIL FROM:<") + t.id + "@soak.test>" +
                           (random_() % 4 == 0 ? " BODY=8BITMIME" : ""));
        for (const auto& r : t.recipients)
            commands.push_back((lower_case ? "rcpt to:" : "RCPT TO:") + r);
        commands.push_back("DATA");
        if (random_() % 2 == 0) { // pipelined: all commands in one packet
            std::string batch;
            for (const auto& c : commands)
                batch += c + "\r\n";
            client.send(batch);
            for (std::size_t c = 0; c + 1 < commands.size(); ++c)
                if (!expect_line(client, "250 OK", "pipelined " + commands[c])) return false;
        } else {
            for (std::size_t c = 0; c + 1 < commands.size(); ++c) {
                client.send(commands[c] + "\r\n");
                if (!expect_line(client, "250 OK", commands[c])) return false;
            }
            client.send("DATA\r\n");
        }
        if (!expect_line(client, "354 End data with <CR><LF>.<CR><LF>", "DATA")) return false;

        const std::string wire = stuffed(t.message);
        const int roll = static_cast<int>(random_() % 100);
        if (roll < 4) { // gone in the middle of the message
            client.send(wire.substr(0, wire.size() / 2));
            t.how = ending::dropped_in_data;
            transactions.push_back(std::move(t));
            return false;
        }
        if (roll < 5) { // silent in the middle of the message until the time-out
            client.send(wire.substr(0, wire.size() / 2));
            t.how = ending::stalled_in_data;
            const std::string line = client.read_line(std::chrono::seconds(timeout_seconds + 10));
            t.answer = line.substr(0, line.find("\r\n"));
            transactions.push_back(std::move(t));
            return false;
        }
        client.send(wire);
        if (roll < 8) { // gone while the message is being judged
            t.how = ending::dropped_waiting;
            transactions.push_back(std::move(t));
            return false;
        }
        return read_answer(client, std::move(t));
    }

    // Reads the reply to the end of the data: one equal line per recipient, or the time-out.
    bool read_answer(line_client& client, transaction t) {
        std::string line = client.read_line(std::chrono::seconds(timeout_seconds + 10));
        if (line.size() < 2 || !line.ends_with("\r\n")) {
            errors.push_back(t.id + ": no answer after the data: \"" + line + "\"");
            return false;
        }
        t.answer = line.substr(0, line.size() - 2);
        t.answered_at = std::chrono::steady_clock::now();
        const bool timed_out = t.answer == "421 4.4.2 Connection timeout";
        for (std::size_t r = 1; r < t.recipients.size() && !timed_out; ++r) {
            const std::string further = client.read_line(5s);
            if (further != line) {
                errors.push_back(t.id + ": answer line " + std::to_string(r + 1) + " \"" + further +
                                 "\" differs from \"" + t.answer + "\"");
            }
        }
        transactions.push_back(std::move(t));
        return !timed_out;
    }

    peer_address listen_; // the daemon
    std::mt19937_64 random_;
    std::string prefix_; // makes every transaction id unique
    std::chrono::steady_clock::time_point deadline_;
    std::size_t next_ = 0;
};

// The figures of one round, summed into the report.
struct round_figures {
    long transactions = 0;
    long deliveries_checked = 0;
    long timed_out_forwards = 0; // answered 421 and still delivered: final "." before the 421
    long late_deliveries = 0;    // answered 421, final "." after it: a message delivered twice
    long dropped_delivered = 0;  // the client left while waiting; the message went on
    std::map<std::string, long> answers; // by answer line, or by how the client ended
    std::map<std::string, long> edited;  // deliveries by the header edit they carried
};

// The sender's transaction id: the text between "<" and "@".
std::string id_of_sender(const std::string& sender) {
    const auto open = sender.find('<');
    const auto at = sender.find('@');
    if (open == std::string::npos || at == std::string::npos || at < open) return sender;
    return sender.substr(open + 1, at - open - 1);
}

// Compares every transaction's ending with the deliveries; records failures as test failures.
round_figures check_round(const std::vector<transaction>& transactions,
                          const std::vector<test_support::fake_delivery>& deliveries) {
    round_figures figures;
    std::map<std::string, std::vector<const test_support::fake_delivery*>> by_id;
    for (const auto& d : deliveries)
        by_id[id_of_sender(d.sender)].push_back(&d);
    std::set<std::string> known;
    for (const auto& t : transactions) {
        ++figures.transactions;
        known.insert(t.id);
        const auto found = by_id.find(t.id);
        const std::size_t delivered = found == by_id.end() ? 0 : found->second.size();
        EXPECT_LE(delivered, 1u) << t.id << " delivered twice";
        switch (t.how) {
        case ending::dropped_in_data:
            ++figures.answers["(client left in the middle of DATA)"];
            EXPECT_EQ(delivered, 0u) << t.id << ": an unfinished message was delivered";
            continue;
        case ending::stalled_in_data:
            ++figures.answers["(client silent in the middle of DATA) " + t.answer];
            EXPECT_EQ(t.answer, "421 4.4.2 Connection timeout") << t.id;
            EXPECT_EQ(delivered, 0u) << t.id << ": an unfinished message was delivered";
            continue;
        case ending::dropped_waiting:
            ++figures.answers["(client left while waiting for the verdict)"];
            figures.dropped_delivered += delivered == 1 ? 1 : 0;
            break;
        case ending::answered:
            ++figures.answers[t.answer];
            if (t.answer.starts_with("250 OK: Message accepted")) {
                EXPECT_EQ(delivered, 1u) << t.id << " answered \"" << t.answer << "\"";
            } else if (t.answer == "421 4.4.2 Connection timeout") {
                // The mail server hands a message it was told 421 for to us again: a delivery
                // stands only when its final "." was in before the client had the 421.
                if (delivered == 1) {
                    const bool before = found->second.front()->received_at < t.answered_at;
                    figures.timed_out_forwards += before ? 1 : 0;
                    figures.late_deliveries += before ? 0 : 1;
                    EXPECT_TRUE(before) << t.id << ": delivered after its client was told 421";
                }
            } else {
                EXPECT_EQ(delivered, 0u) << t.id << " answered \"" << t.answer << "\"";
            }
            EXPECT_TRUE(t.answer.starts_with("250 OK: Message") || t.answer.starts_with("4") ||
                        t.answer.starts_with("5"))
                << t.id << ": unexpected answer \"" << t.answer << "\"";
            break;
        }
        if (delivered == 0) continue;
        const auto& d = *found->second.front();
        ++figures.deliveries_checked;
        EXPECT_EQ(d.recipients, t.recipients) << t.id;
        // The soak's header edits add "X-Spam: yes", or the two headers of an array, on top, and
        // mark the Subject in place; the rest is unchanged.
        std::string data = d.data;
        const std::pair<std::string_view, const char*> additions[] = {
            {"X-Spam: yes\r\n", "X-Spam added"},
            {"X-Soak: one\r\nX-Soak: two\r\n", "header array added"}};
        for (const auto& [added, label] : additions) {
            if (!data.starts_with(added)) continue;
            data.erase(0, added.size());
            ++figures.edited[label];
        }
        const std::string marked = "\r\nSubject: " + subject_mark;
        if (const auto at = data.find(marked);
            at != std::string::npos && at < data.find("\r\n\r\n")) {
            data.erase(at + marked.size() - subject_mark.size(), subject_mark.size());
            ++figures.edited["Subject marked"];
        }
        EXPECT_EQ(data, t.message) << t.id << ": the message changed on its way";
    }
    for (const auto& d : deliveries)
        EXPECT_TRUE(known.contains(id_of_sender(d.sender))) << "stray delivery " << d.sender;
    return figures;
}

// The soak daemon's configuration: its listener and its peers at their addresses.
std::string soak_config(const peer_address& listen, const peer_address& scanner,
                        const peer_address& mail) {
    std::string text = reliability::tcp_config(listen.port, scanner.port, mail.port,
                                               timeout_seconds, "info", scanner.path, mail.path);
    if (listen.path.empty()) return text;
    const std::string tcp = fmt::format("listen_port = {};", listen.port);
    return text.replace(text.find(tcp), tcp.size(), "listen_socket = \"" + listen.path + "\";");
}

// The soak: three rounds of load with faults (the middle one reaching both peers over
// Unix-domain sockets), each checked, then the descriptors and memory.
class Soak : public testing::Test {
  protected:
    // One round: fresh fakes, the daemon pointed at them by a reload, `clients` clients for
    // `duration`, refusals by reloads to closed ports or missing sockets in between, then the
    // checks.
    round_figures run_round(reliability::daemon_run& daemon, const peer_address& listen, int round,
                            bool over_unix, std::chrono::seconds duration, std::uint64_t seed,
                            long descriptors_before) {
        std::mt19937_64 rspamd_random(seed * 3 + 1);
        std::mt19937_64 mail_random(seed * 5 + 2);
        test_support::temp_dir sockets;
        auto rspamd = std::make_unique<test_support::fake_rspamd>(
            test_support::rspamd_listen{"127.0.0.1", over_unix ? sockets.file("rspamd.sock") : ""});
        rspamd->respond_with([this, &rspamd_random](const test_support::rspamd_request& request) {
            return random_scan_reply(request, rspamd_random, faults_, stalls_owed_);
        });
        auto mail = std::make_unique<test_support::fake_mail_server>(
            fake_mail_script{}, over_unix ? sockets.file("mail.sock") : "");
        // The connections whose mail server never answers the final ".": the forward has no
        // time-out of its own, so each holds its connection until the mail server closes it.
        std::mutex held_mutex;
        std::set<std::size_t> held;
        mail->set_script_chooser([this, &mail_random, &held_mutex, &held](std::size_t number) {
            auto script = random_mail_script(mail_random, faults_, stalls_owed_);
            if (script.message.reply.empty() && !script.message.close_after) {
                std::lock_guard lock(held_mutex);
                held.insert(number);
            }
            return script;
        });
        const peer_address scanner{rspamd->port(), rspamd->unix_path()};
        const peer_address server{mail->port(), mail->socket_path()};
        // Nothing listens there: connections to it are refused.
        const peer_address nobody{test_support::free_tcp_port(),
                                  over_unix ? sockets.file("nobody.sock") : ""};
        const auto point_at = [&](const peer_address& to_scanner, const peer_address& to_server) {
            daemon.write_config(soak_config(listen, to_scanner, to_server));
            const long before = daemon.log_count("Configuration reloaded successfully.");
            daemon.signal(SIGHUP);
            EXPECT_TRUE(test_support::wait_until(
                [&] { return daemon.log_count("Configuration reloaded successfully.") > before; }));
        };
        point_at(scanner, server);

        const auto start = std::chrono::steady_clock::now();
        const auto deadline = start + duration;
        std::vector<std::unique_ptr<soak_client>> clients;
        std::vector<std::thread> threads;
        for (int c = 0; c < client_count; ++c) {
            clients.push_back(std::make_unique<soak_client>(
                listen, seed * 7919 + static_cast<std::uint64_t>(round * 100 + c),
                "q" + std::to_string(round) + "c" + std::to_string(c), deadline));
            threads.emplace_back([client = clients.back().get()] { client->run(); });
        }
        // Refused connections: a stretch with no scanner listening, one with no mail server;
        // each is timed from the reload that starts it.
        const std::chrono::milliseconds span = duration;
        std::this_thread::sleep_until(start + span * 3 / 10);
        point_at(nobody, server);
        std::this_thread::sleep_for(span * 4 / 100);
        point_at(scanner, server);
        std::this_thread::sleep_until(start + span * 6 / 10);
        point_at(scanner, nobody);
        std::this_thread::sleep_for(span * 4 / 100);
        point_at(scanner, server);
        for (auto& t : threads)
            t.join();

        // Forwards of clients that left may still run; every one but a silent peer's ends soon.
        std::this_thread::sleep_for(std::chrono::seconds(timeout_seconds + 1));
        // With both peers still up and some still silent, the daemon holds no descriptor but the
        // one of each forward whose final "." the mail server never answers: scans given up at
        // their session's stop, QUIT answers waited for a bounded time.
        const auto held_open = [&] {
            std::lock_guard lock(held_mutex);
            const auto connections = mail->connections();
            long open = 0;
            for (const std::size_t number : held)
                open += number < connections.size() && !connections[number].closed ? 1 : 0;
            return open;
        };
        EXPECT_TRUE(test_support::wait_until(
            [&] {
                return reliability::open_descriptors(daemon.pid()) ==
                       descriptors_before + held_open();
            },
            20s))
            << "round " << round << ", peers up: " << reliability::open_descriptors(daemon.pid())
            << " descriptors open, " << descriptors_before << " before the load and " << held_open()
            << " forwards waiting for their final \".\" to be answered";
        const auto deliveries = mail->deliveries();
        rspamd.reset(); // ends the silences: the daemon's clients see the connections close
        mail.reset();

        std::vector<transaction> all;
        for (auto& c : clients) {
            for (const auto& e : c->errors)
                ADD_FAILURE() << e;
            all.insert(all.end(), c->transactions.begin(), c->transactions.end());
        }
        return check_round(all, deliveries);
    }

    // Whether the daemon greets a new session and says goodbye.
    static bool answers_new_session(const peer_address& listen) {
        const auto connection = connect_to(listen);
        line_client& client = *connection;
        if (client.read_line(5s) != "220 localhost LMTP server ready\r\n") return false;
        client.send("QUIT\r\n");
        return client.read_line(5s) == "221 Bye\r\n";
    }

    // Runs one daemon listening at `listen` for the rounds `over_unix` lists (true: the peers
    // over Unix-domain sockets); checks it after each round and stops it at the end.
    void soak_daemon(const peer_address& listen, const std::vector<bool>& over_unix,
                     std::chrono::seconds duration, std::uint64_t seed) {
        // A small allocator quarantine, so that the memory figures show live objects.
        const std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        ::setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=16").c_str(), 1);
        reliability::daemon_run daemon(soak_config(listen, {9, ""}, {9, ""}));
        ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
        ASSERT_TRUE(daemon.started()) << daemon.standard_error();
        ASSERT_TRUE(answers_new_session(listen));
        std::this_thread::sleep_for(300ms); // the greeted session's socket closes after "221"
        const long descriptors_before = reliability::open_descriptors(daemon.pid());
        std::vector<long> resident_kb;
        for (const bool unix_peers : over_unix) {
            const int round = static_cast<int>(rounds_.size()) + 1;
            rounds_.push_back(run_round(daemon, listen, round, unix_peers, duration,
                                        seed + static_cast<std::uint64_t>(round),
                                        descriptors_before));
            ASSERT_TRUE(daemon.alive()) << daemon.standard_error();
            EXPECT_TRUE(answers_new_session(listen)) << "round " << round;
            EXPECT_TRUE(test_support::wait_until(
                [&] { return reliability::open_descriptors(daemon.pid()) == descriptors_before; },
                15s))
                << "round " << round << ": " << reliability::open_descriptors(daemon.pid())
                << " descriptors open, " << descriptors_before << " before the load";
            resident_kb.push_back(reliability::status_kb(daemon.pid(), "VmRSS"));
        }
        for (const char* failure :
             {"Rspamd client (TCP) connect failed: Connection refused",
              "SMTP Client (TCP) connect failed: Connection refused",
              "Rspamd client (Unix) connect failed: No such file or directory",
              "SMTP Client (Unix) connect failed: No such file or directory"})
            faults_.add(std::string("refused: ") + failure, daemon.log_count(failure));
        faults_.add("forward abandoned at the stop of its session",
                    daemon.log_count("delivery abandoned before the end of data"));
        faults_.add("scan abandoned at the stop of its session",
                    daemon.log_count("scan abandoned: the LMTP session has closed"));
        faults_.add("QUIT not answered in time", daemon.log_count("QUIT failed: no answer within"));
        std::cout << "[ daemon   ] listening " << (listen.path.empty() ? "on TCP" : "on Unix")
                  << ", descriptors before and after the load " << descriptors_before
                  << ", resident after each round (kB):";
        for (const long kb : resident_kb)
            std::cout << " " << kb;
        std::cout << ", peak " << reliability::status_kb(daemon.pid(), "VmHWM") << " kB\n";
        // Later rounds reuse what the first one freed; live sessions or clients would pile up.
        for (std::size_t r = 1; r < resident_kb.size(); ++r)
            EXPECT_LE(resident_kb[r], resident_kb[0] + std::max(16L * 1024, resident_kb[0] / 10))
                << "memory grew over round " << r + 1;
        daemon.stop();
    }

    static constexpr int client_count = 8;
    fault_counts faults_;
    std::atomic<long> stalls_owed_ = 0; // forwards the mail server is to stall
    std::vector<round_figures> rounds_; // every round run so far
};

TEST_F(Soak, EveryAnswerMatchesWhatReachedTheMailServer) {
    const std::uint64_t seed = reliability::seed_from("QUILLGATE_SOAK_SEED", 20261210);
    const long seconds = std::getenv("QUILLGATE_SOAK_SECONDS")
                             ? std::strtol(std::getenv("QUILLGATE_SOAK_SECONDS"), nullptr, 10)
                             : 12;
    reliability::raise_descriptor_limit(4096);
    // A TCP listener: peers over TCP, over Unix-domain sockets, over TCP again; then a daemon
    // listening on a Unix-domain socket with its peers there too.
    soak_daemon({test_support::free_tcp_port(), ""}, {false, true, false},
                std::chrono::seconds(seconds), seed);
    test_support::temp_dir listen_dir;
    soak_daemon({0, listen_dir.file("lmtp.sock")}, {true}, std::chrono::seconds(seconds), seed);
    const auto& rounds = rounds_;

    round_figures total;
    for (const auto& r : rounds) {
        total.transactions += r.transactions;
        total.deliveries_checked += r.deliveries_checked;
        total.timed_out_forwards += r.timed_out_forwards;
        total.late_deliveries += r.late_deliveries;
        total.dropped_delivered += r.dropped_delivered;
        for (const auto& [answer, count] : r.answers)
            total.answers[answer] += count;
        for (const auto& [edit, count] : r.edited)
            total.edited[edit] += count;
    }
    std::cout << "[ soak     ] seed " << seed << ", " << client_count << " clients, "
              << rounds.size() << " rounds of " << seconds
              << " s\n[ soak     ] transactions: " << total.transactions
              << ", deliveries checked: " << total.deliveries_checked
              << "\n[ soak     ] answered 421, delivered with the final \".\" before the 421: "
              << total.timed_out_forwards << ", after it: " << total.late_deliveries
              << "\n[ soak     ] client left while waiting, message delivered: "
              << total.dropped_delivered << "\n";
    for (const auto& [answer, count] : total.answers)
        std::cout << "[ answer   ] " << count << "  " << answer << "\n";
    for (const auto& [kind, count] : faults_.snapshot())
        std::cout << "[ fault    ] " << count << "  " << kind << "\n";
    for (const auto& [edit, count] : total.edited)
        std::cout << "[ edited   ] " << count << "  " << edit << "\n";
    EXPECT_EQ(rounds.size(), 4u);
    EXPECT_GT(total.transactions, 1000);
    EXPECT_GT(total.deliveries_checked, 100);
    // Header arrays and "rewrite subject" reached the mail server as edits, not as failures.
    EXPECT_GT(total.edited["header array added"], 0);
    EXPECT_GT(total.edited["Subject marked"], 0);
}

} // namespace
