// Resolving the host and port of a TCP peer, with no name lookup for a numeric address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/error_code.hpp>

// The one address a numeric host (IPv4 dotted quad or IPv6 text) stands for, with the port, as
// `resolver` gives it for a numeric host without a lookup; nullopt for any other host, which is
// left to the resolver's asynchronous lookup.
std::optional<boost::asio::ip::tcp::resolver::results_type>
numeric_endpoint(boost::asio::ip::tcp::resolver& resolver, const std::string& host,
                 std::uint16_t port);

// Resolves `host` and `port` as `resolver.async_resolve` does and calls `handler(error_code,
// results)` from the event loop, never before returning. A numeric host yields the same single
// address without the resolver, which would otherwise run getaddrinfo on a thread of its own: two
// thread switches per connection.
template <class Handler>
void resolve_host(boost::asio::io_context& io_context, boost::asio::ip::tcp::resolver& resolver,
                  const std::string& host, std::uint16_t port, Handler handler) {
    if (auto results = numeric_endpoint(resolver, host, port)) {
        boost::asio::post(io_context,
                          [handler = std::move(handler), results = std::move(*results)]() mutable {
                              handler(boost::system::error_code(), std::move(results));
                          });
        return;
    }
    resolver.async_resolve(host, std::to_string(port), std::move(handler));
}
