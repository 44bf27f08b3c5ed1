// Loopback stand-ins for the scanner and the mail server, on Unix-domain sockets, for the LMTP
// session fuzz target: the scanner answers every request with one fixed body, the mail server
// accepts every message and records what it was given.
#pragma once

#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

// Answers every HTTP request on its socket with status 200 and `answer` as the body.
class fake_scanner {
  public:
    fake_scanner(boost::asio::io_context& io_context, const std::string& path);

    std::string answer;   // the body of every response
    std::size_t requests; // requests answered since the last `clear`

    // Forgets the requests counted so far.
    void clear() { requests = 0; }

  private:
    void do_accept();

    boost::asio::local::stream_protocol::acceptor acceptor_;
};

// One message as the mail server received it.
struct delivered_message {
    std::vector<std::string> recipients; // the RCPT TO arguments, as sent
    std::string text;                    // the DATA text with the stuffing dots removed
};

// Speaks the server side of SMTP: 250 to everything, 354 to DATA, 221 to QUIT; ends a message
// only at CRLF "." CRLF, as a strict mail server does.
class fake_mail_server {
  public:
    fake_mail_server(boost::asio::io_context& io_context, const std::string& path);

    std::vector<delivered_message> messages; // every message accepted since the last `clear`
    std::size_t sessions;                    // connections since the last `clear`

    // Forgets the messages and connections recorded so far.
    void clear() {
        messages.clear();
        sessions = 0;
    }

  private:
    void do_accept();

    boost::asio::local::stream_protocol::acceptor acceptor_;
};
