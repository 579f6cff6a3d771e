#include "platform/socket_common.h"

#include <cstdio>

#include "platform/system_error.h"

namespace mox::platform {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A non-empty run of decimal digits whose value is at most `limit`.
bool isDecimalAtMost(std::string_view text, unsigned long long limit) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    unsigned long long value = 0;
    for (const char c : text) {
        if (!isDigit(c)) {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > limit) {
            return false;
        }
    }
    return true;
}

// Four decimal parts 0..255 separated by dots, without leading zeros (what inet_pton takes).
bool isDottedQuad(std::string_view text) {
    int parts = 0;
    while (true) {
        const std::size_t dot = text.find('.');
        const std::string_view part = text.substr(0, dot);
        if (!isDecimalAtMost(part, 255) || part.size() > 3 || (part.size() > 1 && part[0] == '0')) {
            return false;
        }
        ++parts;
        if (dot == std::string_view::npos) {
            break;
        }
        text.remove_prefix(dot + 1);
    }
    return parts == 4;
}

// Splits an optional ":port" off `text`. False when the port is malformed.
bool stripPort(std::string_view& text, std::size_t colon) {
    if (colon == std::string_view::npos) {
        return true;
    }
    if (!isDecimalAtMost(text.substr(colon + 1), 65535)) {
        return false;
    }
    text = text.substr(0, colon);
    return true;
}

// Splits an optional "%scope" (decimal) off an IPv6 address. False when the scope is malformed.
bool stripScope(std::string_view& text) {
    const std::size_t percent = text.find('%');
    if (percent == std::string_view::npos) {
        return true;
    }
    if (!isDecimalAtMost(text.substr(percent + 1), 0xFFFFFFFFull)) {
        return false;
    }
    text = text.substr(0, percent);
    return true;
}

}  // namespace

namespace detail {

std::optional<std::string> numericAddressPart(std::string_view text, AddressFamily family) {
    if (family == AddressFamily::IPv4) {
        if (!stripPort(text, text.find(':')) || !isDottedQuad(text)) {
            return std::nullopt;
        }
        return std::string(text);
    }
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !stripPort(rest, 0))) {
            return std::nullopt;
        }
        text = text.substr(1, close - 1);
    }
    if (!stripScope(text) || text.empty()) {
        return std::nullopt;
    }
    for (const char c : text) {
        const bool hex = isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') {
            return std::nullopt;
        }
    }
    return std::string(text);
}

SocketResult<std::size_t> receiveBatchOneByOne(UdpSocket& socket, std::span<DatagramSlot> slots) {
    std::size_t filled = 0;
    for (DatagramSlot& slot : slots) {
        auto received = socket.receive(slot.buffer);
        if (!received.ok()) {
            if (filled == 0) {
                return SocketResult<std::size_t>::failure(received.error());
            }
            break;
        }
        if (!received.value().received) {
            break;
        }
        slot.length = received.value().length;
        slot.truncated = received.value().truncated;
        slot.from = received.value().from;
        ++filled;
    }
    return filled;
}

SocketResult<std::size_t> sendBatchOneByOne(UdpSocket& socket,
                                            std::span<const OutgoingDatagram> datagrams) {
    std::size_t sent = 0;
    for (const OutgoingDatagram& datagram : datagrams) {
        auto result = socket.sendTo(datagram.bytes, datagram.to);
        if (!result.ok()) {
            if (sent == 0) {
                return SocketResult<std::size_t>::failure(result.error());
            }
            break;
        }
        if (result.value() != datagram.bytes.size()) {
            break;
        }
        ++sent;
    }
    return sent;
}

}  // namespace detail

SocketAddress SocketAddress::unspecified(AddressFamily family) {
    SocketAddress address;
    address.family = family;
    return address;
}

SocketAddress SocketAddress::loopback(AddressFamily family, std::uint16_t port) {
    SocketAddress address;
    address.family = family;
    address.port = port;
    if (family == AddressFamily::IPv4) {
        address.bytes[0] = 127;
        address.bytes[3] = 1;
    } else {
        address.bytes[15] = 1;
    }
    return address;
}

bool SocketAddress::isUnspecified() const noexcept {
    const std::size_t size = family == AddressFamily::IPv4 ? 4 : 16;
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

std::string SocketAddress::toString() const {
    char text[64];
    if (family == AddressFamily::IPv4) {
        std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", bytes[0], bytes[1], bytes[2], bytes[3],
                      port);
        return text;
    }
    unsigned groups[8];
    for (int i = 0; i < 8; ++i) {
        groups[i] = static_cast<unsigned>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    }
    // The longest run of two or more zero groups (the first of equal runs) becomes "::".
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int end = i;
        while (end < 8 && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end;
    }
    std::string out = "[";
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out += "::";
            i += bestLength - 1;
            continue;
        }
        if (i != 0 && i != bestStart + bestLength) {
            out += ':';
        }
        std::snprintf(text, sizeof text, "%x", groups[i]);
        out += text;
    }
    std::snprintf(text, sizeof text, "]:%u", port);
    out += text;
    return out;
}

SocketError SocketError::fromCode(std::uint32_t code) {
    char text[512];
    std::size_t length = systemErrorText(code, text, sizeof text);
    // FormatMessageA ends its texts with "\r\n"; no caller wants it.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '\t')) {
        --length;
    }
    SocketError error;
    error.code = code;
    error.text.assign(text, length);
    return error;
}

std::array<std::uint8_t, 4> routerAlertOption(std::uint16_t value) noexcept {
    return {0x94, 0x04, static_cast<std::uint8_t>(value & 0xFF),
            static_cast<std::uint8_t>(value >> 8)};
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept
    : handle_(std::exchange(other.handle_, kInvalidHandle)),
      family_(other.family_),
      receiveOptions_(std::exchange(other.receiveOptions_, false)),
      scratch_(std::move(other.scratch_)) {}

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kInvalidHandle);
        family_ = other.family_;
        receiveOptions_ = std::exchange(other.receiveOptions_, false);
        scratch_ = std::move(other.scratch_);
    }
    return *this;
}

UdpSocket::~UdpSocket() {
    close();
}

bool UdpSocket::isOpen() const noexcept {
    return handle_ != kInvalidHandle;
}

}  // namespace mox::platform
