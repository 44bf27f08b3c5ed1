// The seven XFORWARD attributes: each one's name and the member of XForwardData that keeps its
// value; read by the LMTP front end and written to the mail server from the same table.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "utils/mail_data.hpp"

// One XFORWARD attribute: its name on the wire and where XForwardData keeps its value.
struct xforward_attribute {
    std::string_view name;
    std::string XForwardData::*value;
};

// ADDR, NAME, PORT, PROTO, HELO, IDENT, SOURCE: the order of the command to the mail server.
inline constexpr std::array<xforward_attribute, 7> xforward_attributes{{
    {"ADDR", &XForwardData::addr},
    {"NAME", &XForwardData::name},
    {"PORT", &XForwardData::port},
    {"PROTO", &XForwardData::proto},
    {"HELO", &XForwardData::helo},
    {"IDENT", &XForwardData::ident},
    {"SOURCE", &XForwardData::source},
}};
