// Numeric hosts turned into an endpoint without the resolver.
#include "utils/host_lookup.hpp"

#include <boost/asio/ip/address.hpp>

std::optional<boost::asio::ip::tcp::resolver::results_type>
numeric_endpoint(const std::string& host, std::uint16_t port) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(host, ec);
    if (ec) return std::nullopt;
    return boost::asio::ip::tcp::resolver::results_type::create(
        boost::asio::ip::tcp::endpoint(address, port), host, std::to_string(port));
}
