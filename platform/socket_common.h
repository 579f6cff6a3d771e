// File: platform/socket_common.h (private to platform/)
//
// The parts of platform/socket.h that do not depend on the OS, shared by both backends: the
// textual grammar of numeric addresses (brackets, scope, port) and the socket's plain-data
// bookkeeping.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/socket.h"

namespace mox::platform::detail {

// The address part of `text` with brackets, scope and port removed, when `text` has one of the
// forms `parseNumericAddress` accepts for `family` (the scope and port are checked; an IPv4
// address part is checked in full). An IPv6 address part is left for the system to check.
std::optional<std::string> numericAddressPart(std::string_view text, AddressFamily family);

// The largest UDP payload over IPv6 (65535 minus the 8-byte UDP header); no datagram is longer.
inline constexpr std::size_t kMaxDatagramSize = 65527;

// `receiveBatch` and `sendBatch` as loops over `receive` and `sendTo`, with their contracts,
// for systems without batched socket calls.
SocketResult<std::size_t> receiveBatchOneByOne(UdpSocket& socket, std::span<DatagramSlot> slots);
SocketResult<std::size_t> sendBatchOneByOne(UdpSocket& socket,
                                            std::span<const OutgoingDatagram> datagrams);

}  // namespace mox::platform::detail
