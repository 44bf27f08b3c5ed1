// A host given as a numeric address needs no name lookup.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

// The one address a numeric host (IPv4 dotted quad or IPv6 text) stands for, with the port, in
// the form the resolver gives; nullopt for any other host, which is left to the resolver.
// Resolving a numeric host yields this same single address, but through the resolver's own
// thread, two thread switches per connection.
std::optional<boost::asio::ip::tcp::resolver::results_type>
numeric_endpoint(const std::string& host, std::uint16_t port);
