// Numeric hosts turned into resolver results without the resolver's thread.
#include "utils/host_lookup.hpp"

#include <boost/asio/ip/address.hpp>

std::optional<boost::asio::ip::tcp::resolver::results_type>
numeric_endpoint(boost::asio::ip::tcp::resolver& resolver, const std::string& host,
                 std::uint16_t port) {
    // Only what make_address reads counts as numeric, so that the forms only getaddrinfo knows
    // ("127.1") keep going to the resolver. The synchronous resolve with the numeric flags asks
    // getaddrinfo to parse the address alone: no name service, no thread, no system call.
    boost::system::error_code ec;
    boost::asio::ip::make_address(host, ec);
    if (ec) return std::nullopt;
    using resolver_type = boost::asio::ip::tcp::resolver;
    auto results =
        resolver.resolve(host, std::to_string(port),
                         resolver_type::numeric_host | resolver_type::numeric_service, ec);
    if (ec) return std::nullopt;
    return results;
}
