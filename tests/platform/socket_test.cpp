#include "platform/socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mox::platform {
namespace {

using std::chrono::milliseconds;

TEST(PlatformSocketAddress, ParsesTheNumericFormsOnly) {
    struct Case {
        const char* text;
        AddressFamily family;
        const char* expected;  // toString() of the result with port 0; nullptr: refused
        const char* reason;
    };
    const Case cases[] = {
        {"127.0.0.1", AddressFamily::IPv4, "127.0.0.1:0", "plain dotted quad"},
        {"10.1.2.3:5499", AddressFamily::IPv4, "10.1.2.3:0", "a port is checked and ignored"},
        {"255.255.255.255", AddressFamily::IPv4, "255.255.255.255:0", "largest parts"},
        {"0.0.0.0", AddressFamily::IPv4, "0.0.0.0:0", "the unspecified address parses"},
        {"127.1", AddressFamily::IPv4, nullptr, "inet_aton shorthand"},
        {"0x7f.0.0.1", AddressFamily::IPv4, nullptr, "hex part"},
        {"010.0.0.1", AddressFamily::IPv4, nullptr, "leading zero (octal elsewhere)"},
        {"256.0.0.1", AddressFamily::IPv4, nullptr, "part above 255"},
        {"1.2.3.4 ", AddressFamily::IPv4, nullptr, "trailing blank"},
        {" 1.2.3.4", AddressFamily::IPv4, nullptr, "leading blank"},
        {"1.2.3.4x", AddressFamily::IPv4, nullptr, "trailing junk"},
        {"1.2.3.4:", AddressFamily::IPv4, nullptr, "empty port"},
        {"1.2.3.4:65536", AddressFamily::IPv4, nullptr, "port out of range"},
        {"1.2.3.4.5", AddressFamily::IPv4, nullptr, "five parts"},
        {"localhost", AddressFamily::IPv4, nullptr, "names are not resolved"},
        {"", AddressFamily::IPv4, nullptr, "empty"},
        {"::1", AddressFamily::IPv4, nullptr, "IPv6 text for IPv4"},
        {"::1", AddressFamily::IPv6, "[::1]:0", "loopback"},
        {"2001:db8::7", AddressFamily::IPv6, "[2001:db8::7]:0", "compressed"},
        {"fe80::1%3", AddressFamily::IPv6, "[fe80::1]:0", "scope is checked and dropped"},
        {"[2001:db8::1]:5497", AddressFamily::IPv6, "[2001:db8::1]:0", "bracketed with port"},
        {"[::1]", AddressFamily::IPv6, "[::1]:0", "bracketed without port"},
        {"[fe80::2%7]:80", AddressFamily::IPv6, "[fe80::2]:0", "bracketed, scope and port"},
        {"::ffff:1.2.3.4", AddressFamily::IPv6, "[::ffff:102:304]:0", "embedded IPv4 tail"},
        {"::", AddressFamily::IPv6, "[::]:0", "the unspecified address parses"},
        {"[::1", AddressFamily::IPv6, nullptr, "unclosed bracket"},
        {"[::1]x", AddressFamily::IPv6, nullptr, "junk after the bracket"},
        {"[::1]:99999", AddressFamily::IPv6, nullptr, "port out of range"},
        {"::1%", AddressFamily::IPv6, nullptr, "empty scope"},
        {"::1%eth0", AddressFamily::IPv6, nullptr, "named scope"},
        {"1::2::3", AddressFamily::IPv6, nullptr, "two compressions"},
        {"12345::1", AddressFamily::IPv6, nullptr, "group too long"},
        {"127.0.0.1", AddressFamily::IPv6, nullptr, "IPv4 text for IPv6"},
        {"::1 ", AddressFamily::IPv6, nullptr, "trailing blank"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " (" + c.reason + ")");
        const std::optional<SocketAddress> parsed = parseNumericAddress(c.text, c.family);
        if (c.expected == nullptr) {
            EXPECT_FALSE(parsed.has_value());
            continue;
        }
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->family, c.family);
        EXPECT_EQ(parsed->toString(), c.expected);
    }
}

TEST(PlatformSocketAddress, TextFormAndRouterAlertBytes) {
    SocketAddress v6 = SocketAddress::unspecified(AddressFamily::IPv6);
    v6.bytes = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1};
    v6.port = 80;
    EXPECT_EQ(v6.toString(), "[2001:db8:0:1::1]:80");  // the longer zero run is compressed
    v6.bytes = {0x20, 0x01, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 1};
    EXPECT_EQ(v6.toString(), "[2001::1:0:0:1:1]:80");  // the first of equal runs
    v6.bytes = {0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(v6.toString(), "[0:1::]:80");  // a lone zero group stays, a trailing run goes
    EXPECT_EQ(SocketAddress::loopback(AddressFamily::IPv4, 5499).toString(), "127.0.0.1:5499");
    EXPECT_TRUE(SocketAddress::unspecified(AddressFamily::IPv4).isUnspecified());
    EXPECT_FALSE(SocketAddress::loopback(AddressFamily::IPv6).isUnspecified());

    const std::array<std::uint8_t, 4> expected42{0x94, 0x04, 0x2A, 0x00};
    EXPECT_EQ(routerAlertOption(42), expected42);
    const std::array<std::uint8_t, 4> expectedHigh{0x94, 0x04, 0x34, 0x12};
    EXPECT_EQ(routerAlertOption(0x1234), expectedHigh);
}

// A bound receiver and an unbound sender on the loopback address of one family.
class LoopbackPair : public ::testing::TestWithParam<AddressFamily> {
  protected:
    void SetUp() override {
        auto receiver = UdpSocket::open(GetParam());
        if (!receiver.ok() && GetParam() == AddressFamily::IPv6) {
            GTEST_SKIP() << "no IPv6: " << receiver.error().text;
        }
        ASSERT_TRUE(receiver.ok()) << receiver.error().text;
        receiver_ = receiver.releaseValue();
        const SocketStatus bound = receiver_.bind(SocketAddress::loopback(GetParam()));
        if (!bound.ok() && GetParam() == AddressFamily::IPv6) {
            GTEST_SKIP() << "no IPv6 loopback: " << bound.error().text;
        }
        ASSERT_TRUE(bound.ok()) << bound.error().text;
        auto local = receiver_.localAddress();
        ASSERT_TRUE(local.ok()) << local.error().text;
        target_ = local.value();
        auto sender = UdpSocket::open(GetParam());
        ASSERT_TRUE(sender.ok()) << sender.error().text;
        sender_ = sender.releaseValue();
    }

    void send(std::size_t size, std::uint8_t fill) {
        const std::vector<std::uint8_t> bytes(size, fill);
        auto sent = sender_.sendTo(bytes, target_);
        ASSERT_TRUE(sent.ok()) << sent.error().text;
        EXPECT_EQ(sent.value(), size);
    }

    // Waits up to a second for the next datagram and receives it into `buffer`.
    ReceivedDatagram next(std::span<std::uint8_t> buffer) {
        auto ready = receiver_.waitReadable(milliseconds(1000));
        EXPECT_TRUE(ready.ok() && ready.value());
        auto received = receiver_.receive(buffer);
        EXPECT_TRUE(received.ok()) << received.error().text;
        return received.ok() ? received.value() : ReceivedDatagram{};
    }

    UdpSocket receiver_;
    UdpSocket sender_;
    SocketAddress target_;
};

TEST_P(LoopbackPair, RoundTripReportsSenderAndExactLength) {
    EXPECT_NE(target_.port, 0);
    EXPECT_EQ(target_.family, GetParam());
    send(12, 0xAB);
    std::uint8_t buffer[12] = {};
    const ReceivedDatagram got = next(buffer);
    ASSERT_TRUE(got.received);
    EXPECT_EQ(got.length, 12u);
    EXPECT_FALSE(got.truncated);
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(buffer[11], 0xAB);
    auto senderAddress = sender_.localAddress();
    ASSERT_TRUE(senderAddress.ok());
    EXPECT_EQ(got.from.port, senderAddress.value().port);
    EXPECT_EQ(got.from, SocketAddress::loopback(GetParam(), senderAddress.value().port));

    // The reply path: answer the sender at the address the datagram came from.
    auto replied = receiver_.sendTo(std::span<const std::uint8_t>(buffer, 4), got.from);
    ASSERT_TRUE(replied.ok()) << replied.error().text;
    ASSERT_TRUE(sender_.waitReadable(milliseconds(1000)).value());
    auto reply = sender_.receive(buffer);
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply.value().length, 4u);
}

// Longer and shorter datagrams than the buffer: both systems report the full length, a long
// one as truncated, and the cut datagram is gone (the next receive finds the next datagram).
TEST_P(LoopbackPair, TruncatedDatagramReportsFullLengthAndIsConsumed) {
    send(100, 1);
    send(11, 2);
    send(1040, 3);
    std::uint8_t buffer[12] = {};
    ReceivedDatagram got = next(buffer);
    EXPECT_TRUE(got.received);
    EXPECT_TRUE(got.truncated);
    EXPECT_EQ(got.length, 100u);
    EXPECT_EQ(buffer[11], 1);
    got = next(buffer);
    EXPECT_FALSE(got.truncated);
    EXPECT_EQ(got.length, 11u);
    EXPECT_EQ(buffer[0], 2);
    got = next(buffer);
    EXPECT_TRUE(got.truncated);
    EXPECT_EQ(got.length, 1040u);

    auto empty = receiver_.receive(buffer);
    ASSERT_TRUE(empty.ok());
    EXPECT_FALSE(empty.value().received);
}

TEST_P(LoopbackPair, WaitTimesOutWithoutDatagramAndReceiveDoesNotBlock) {
    const auto before = std::chrono::steady_clock::now();
    auto ready = receiver_.waitReadable(milliseconds(60));
    const auto waited = std::chrono::steady_clock::now() - before;
    ASSERT_TRUE(ready.ok());
    EXPECT_FALSE(ready.value());
    EXPECT_GE(waited, milliseconds(55));
    EXPECT_LT(waited, milliseconds(2000));

    std::uint8_t buffer[12];
    auto received = receiver_.receive(buffer);
    ASSERT_TRUE(received.ok());
    EXPECT_FALSE(received.value().received);
    ready = receiver_.waitReadable(milliseconds(-5));
    ASSERT_TRUE(ready.ok());
    EXPECT_FALSE(ready.value());
}

// Linux delivers a datagram for 0.0.0.0 or :: to loopback; both systems refuse it here, with
// an error text that has no line break at its end.
TEST_P(LoopbackPair, UnspecifiedDestinationIsRefused) {
    SocketAddress unspecified = SocketAddress::unspecified(GetParam());
    unspecified.port = target_.port;
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    auto sent = sender_.sendTo(bytes, unspecified);
    ASSERT_FALSE(sent.ok());
    EXPECT_NE(sent.error().code, 0u);
    ASSERT_FALSE(sent.error().text.empty());
    const char last = sent.error().text.back();
    EXPECT_TRUE(last != '\n' && last != '\r' && last != ' ') << sent.error().text;
    auto ready = receiver_.waitReadable(milliseconds(50));
    ASSERT_TRUE(ready.ok());
    EXPECT_FALSE(ready.value());
}

TEST_P(LoopbackPair, ClosedSocketAndWrongFamilyFail) {
    const AddressFamily other =
        GetParam() == AddressFamily::IPv4 ? AddressFamily::IPv6 : AddressFamily::IPv4;
    const std::uint8_t bytes[4] = {};
    auto wrongFamily = sender_.sendTo(bytes, SocketAddress::loopback(other, target_.port));
    EXPECT_FALSE(wrongFamily.ok());

    // A second bind on the port in use fails with the system's text.
    auto second = UdpSocket::open(GetParam());
    ASSERT_TRUE(second.ok());
    const SocketStatus inUse = second.value().bind(target_);
    ASSERT_FALSE(inUse.ok());
    EXPECT_FALSE(inUse.error().text.empty());
    EXPECT_NE(inUse.error().text.back(), '\n');

    UdpSocket moved = std::move(sender_);
    EXPECT_TRUE(moved.isOpen());
    EXPECT_FALSE(sender_.isOpen());
    moved.close();
    moved.close();
    EXPECT_FALSE(moved.isOpen());
    EXPECT_FALSE(moved.sendTo(bytes, target_).ok());
    EXPECT_FALSE(moved.waitReadable(milliseconds(0)).ok());
    std::uint8_t buffer[4];
    EXPECT_FALSE(moved.receive(buffer).ok());
    EXPECT_FALSE(moved.localAddress().ok());
}

// A batch send and a batch receive carry every datagram whole and in order, a long one shows
// as truncated with its full length, a refused destination in the middle stops the send there
// (and is reported by the next call), and an empty queue is a success with 0.
TEST_P(LoopbackPair, BatchesKeepEveryDatagramAndStopAtARefusedOne) {
    const std::vector<std::uint8_t> small(12, 0x11);
    const std::vector<std::uint8_t> long_(100, 0x22);
    const std::vector<std::uint8_t> empty;
    const SocketAddress nowhere = SocketAddress::unspecified(GetParam());
    const OutgoingDatagram batch[] = {
        {small, target_}, {long_, target_}, {empty, target_}, {small, nowhere}, {small, target_}};
    auto sent = sender_.sendBatch(batch);
    ASSERT_TRUE(sent.ok()) << sent.error().text;
    EXPECT_EQ(sent.value(), 3u);
    auto refused = sender_.sendBatch(std::span<const OutgoingDatagram>(batch).subspan(3));
    ASSERT_FALSE(refused.ok());
    auto rest = sender_.sendBatch(std::span<const OutgoingDatagram>(batch).subspan(4));
    ASSERT_TRUE(rest.ok() && rest.value() == 1u);

    std::vector<std::uint8_t> buffers(8 * 16);
    DatagramSlot slots[8];
    for (int i = 0; i < 8; ++i) {
        slots[i].buffer = std::span<std::uint8_t>(buffers.data() + i * 16, 16);
    }
    auto senderAddress = sender_.localAddress();
    ASSERT_TRUE(senderAddress.ok());
    std::size_t got = 0;
    const auto deadline = std::chrono::steady_clock::now() + milliseconds(2000);
    while (got < 4 && std::chrono::steady_clock::now() < deadline) {
        (void)receiver_.waitReadable(milliseconds(100));
        auto received = receiver_.receiveBatch(std::span<DatagramSlot>(slots).subspan(got));
        ASSERT_TRUE(received.ok()) << received.error().text;
        got += received.value();
    }
    ASSERT_EQ(got, 4u);
    const struct {
        std::size_t length;
        bool truncated;
        std::uint8_t first;
    } expected[] = {{12, false, 0x11}, {100, true, 0x22}, {0, false, 0}, {12, false, 0x11}};
    for (std::size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(slots[i].length, expected[i].length);
        EXPECT_EQ(slots[i].truncated, expected[i].truncated);
        if (expected[i].length > 0) {
            EXPECT_EQ(slots[i].buffer[0], expected[i].first);
        }
        EXPECT_EQ(slots[i].from, SocketAddress::loopback(GetParam(), senderAddress.value().port));
    }
    auto none = receiver_.receiveBatch(slots);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.value(), 0u);

    UdpSocket closed;
    EXPECT_FALSE(closed.receiveBatch(slots).ok());
    EXPECT_FALSE(closed.sendBatch(batch).ok());
}

INSTANTIATE_TEST_SUITE_P(Families, LoopbackPair,
                         ::testing::Values(AddressFamily::IPv4, AddressFamily::IPv6),
                         [](const auto& info) {
                             return info.param == AddressFamily::IPv4 ? "IPv4" : "IPv6";
                         });

// IPv6 sockets are v6-only: a mapped IPv4 destination never reaches an IPv4 receiver.
TEST(PlatformSocket, IPv6SocketIsV6Only) {
    auto receiver = UdpSocket::open(AddressFamily::IPv4);
    ASSERT_TRUE(receiver.ok());
    ASSERT_TRUE(receiver.value().bind(SocketAddress::loopback(AddressFamily::IPv4)).ok());
    const std::uint16_t port = receiver.value().localAddress().value().port;
    auto sender = UdpSocket::open(AddressFamily::IPv6);
    if (!sender.ok()) {
        GTEST_SKIP() << "no IPv6: " << sender.error().text;
    }
    std::optional<SocketAddress> mapped =
        parseNumericAddress("::ffff:127.0.0.1", AddressFamily::IPv6);
    ASSERT_TRUE(mapped.has_value());
    mapped->port = port;
    const std::uint8_t bytes[4] = {};
    (void)sender.value().sendTo(bytes, *mapped);  // fails or goes nowhere; either is right
    auto ready = receiver.value().waitReadable(milliseconds(50));
    ASSERT_TRUE(ready.ok());
    EXPECT_FALSE(ready.value());
}

// The Router Alert option set on the sender arrives in the IPv4 header where the system can
// read received options back; an empty option block removes it again.
TEST(PlatformSocket, RouterAlertOptionTravelsAndIsRemoved) {
    auto receiver = UdpSocket::open(AddressFamily::IPv4);
    auto sender = UdpSocket::open(AddressFamily::IPv4);
    ASSERT_TRUE(receiver.ok() && sender.ok());
    ASSERT_TRUE(receiver.value().bind(SocketAddress::loopback(AddressFamily::IPv4)).ok());
    const SocketAddress target = receiver.value().localAddress().value();

    const std::array<std::uint8_t, 4> option = routerAlertOption(42);
    const SocketStatus set = sender.value().setIpv4Options(option);
    ASSERT_TRUE(set.ok()) << set.error().text;
    EXPECT_TRUE(sender.value().setIpv4Options({}).ok());
    ASSERT_TRUE(sender.value().setIpv4Options(option).ok());

    auto ipv6 = UdpSocket::open(AddressFamily::IPv6);
    if (ipv6.ok()) {
        EXPECT_FALSE(ipv6.value().setIpv4Options(option).ok());
    }

    const SocketStatus readBack = receiver.value().receiveIpv4Options(true);
    if (!readBack.ok()) {
        GTEST_SKIP() << "received IPv4 options cannot be read here: " << readBack.error().text;
    }
    const std::uint8_t bytes[14] = {1, 1};
    std::uint8_t buffer[32];
    ASSERT_EQ(sender.value().sendTo(bytes, target).value(), 14u);
    ASSERT_TRUE(receiver.value().waitReadable(milliseconds(1000)).value());
    auto with = receiver.value().receive(buffer);
    ASSERT_TRUE(with.ok());
    EXPECT_EQ(with.value().length, 14u);
    ASSERT_TRUE(with.value().ipOptionsKnown);
    ASSERT_EQ(with.value().ipOptionsLength, 4);
    EXPECT_EQ(with.value().ipOptions[0], 0x94);
    EXPECT_EQ(with.value().ipOptions[1], 0x04);
    EXPECT_EQ(with.value().ipOptions[2], 0x2A);
    EXPECT_EQ(with.value().ipOptions[3], 0x00);

    ASSERT_TRUE(sender.value().setIpv4Options({}).ok());
    ASSERT_EQ(sender.value().sendTo(bytes, target).value(), 14u);
    ASSERT_TRUE(receiver.value().waitReadable(milliseconds(1000)).value());
    auto without = receiver.value().receive(buffer);
    ASSERT_TRUE(without.ok());
    EXPECT_TRUE(without.value().ipOptionsKnown);
    EXPECT_EQ(without.value().ipOptionsLength, 0);
}

// Port sharing: where the system offers it, two sockets that both ask for it bind one port
// and every datagram sent there reaches one of them; where it does not (Windows), asking fails
// and nothing else changes.
TEST(PlatformSocket, ReusePortLetsSocketsShareAPortWhereOffered) {
    auto first = UdpSocket::open(AddressFamily::IPv4);
    auto second = UdpSocket::open(AddressFamily::IPv4);
    ASSERT_TRUE(first.ok() && second.ok());
    const SocketStatus shared = first.value().setReusePort(true);
    if (!shared.ok()) {
        EXPECT_FALSE(shared.error().text.empty());
        GTEST_SKIP() << "no port sharing here: " << shared.error().text;
    }
    ASSERT_TRUE(first.value().bind(SocketAddress::loopback(AddressFamily::IPv4)).ok());
    const SocketAddress port = first.value().localAddress().value();
    // Without the option on the second socket the port stays taken.
    auto unshared = UdpSocket::open(AddressFamily::IPv4);
    ASSERT_TRUE(unshared.ok());
    EXPECT_FALSE(unshared.value().bind(port).ok());
    ASSERT_TRUE(second.value().setReusePort(true).ok());
    ASSERT_TRUE(second.value().bind(port).ok());

    auto sender = UdpSocket::open(AddressFamily::IPv4);
    ASSERT_TRUE(sender.ok());
    const std::uint8_t bytes[4] = {1, 2, 3, 4};
    ASSERT_TRUE(sender.value().sendTo(bytes, port).ok());
    std::uint8_t buffer[8];
    bool arrived = false;
    for (int i = 0; i < 100 && !arrived; ++i) {
        for (UdpSocket* socket : {&first.value(), &second.value()}) {
            (void)socket->waitReadable(milliseconds(10));
            auto received = socket->receive(buffer);
            ASSERT_TRUE(received.ok());
            arrived = arrived || received.value().received;
        }
    }
    EXPECT_TRUE(arrived);
    UdpSocket closed;
    EXPECT_FALSE(closed.setReusePort(true).ok());
}

}  // namespace
}  // namespace mox::platform
