// What both scanner client classes share: the "/checkV2" request built from the envelope, the
// end of a read reply, and the failure lines that name the transport.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include "utils/mail_data.hpp"

// The HTTP request that submits one message to Rspamd.
using scan_request = boost::beast::http::request<boost::beast::http::string_body>;

// The HTTP response that Rspamd sends back.
using scan_response = boost::beast::http::response<boost::beast::http::string_body>;

// Reads a scan_response at the parser's default limits: 8192 bytes of header, 8 MiB of body.
// The header part is read on its own first: Beast 1.74 (Boost 1.74, BOOST_VERSION 107400) checks
// a "Content-Length" against the body limit only when the parser stops after the header.
using scan_response_parser = boost::beast::http::response_parser<boost::beast::http::string_body>;

// The read buffer's room for the reply: a verdict with its milter block fits in one read.
constexpr std::size_t reply_read_size = 4096;

// The longest header field value a request can carry, counted before blanks are trimmed: Beast's
// field store holds a value with its CRLF in at most 65535 bytes.
constexpr std::size_t max_field_value_size = 65533;

// Builds "POST /checkV2" with the envelope as header fields and the message as body; empty
// optional texts leave their fields out. Throws std::length_error ("field value too large") when
// an envelope text exceeds `max_field_value_size` bytes.
scan_request build_scan_request(const std::string& host, const std::string& sender,
                                const std::vector<std::string>& recipients,
                                const std::string& client_ip, const std::string& helo,
                                const MailData& message, const std::string& queue_id);

// Logs "Rspamd client (<transport>) <step> failed: <what>" at error level.
void log_client_failure(std::string_view transport, std::string_view step, std::string_view what);

// Ends a read that succeeded: logs the body, shuts the connection down and returns the text for
// the completion, which is the empty text after a shutdown failure or for an empty body.
std::string finish_reply(std::string_view transport, boost::asio::ip::tcp::socket& socket,
                         const std::string& body);

// The same for a Unix-domain connection.
std::string finish_reply(std::string_view transport,
                         boost::asio::local::stream_protocol::socket& socket,
                         const std::string& body);
