// The connection DCMTK writes through on plain TCP holds a short write that
// leaves its PDU unfinished and sends it with the next one: whatever the
// pieces, the peer reads the very bytes written, in order, and each write
// reports its whole length.

#include "dicom/toolkit/detail/GuardedConnection.h"

#include <dcmtk/dcmnet/dcmtrans.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using pacs::toolkit::detail::GuardedConnection;

namespace {

// A connected pair of TCP sockets on the loopback: {writer, reader}.
std::pair<int, int> loopbackPair()
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0
        || ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return {-1, -1};
    const int writer = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(writer, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
        return {-1, -1};
    const int reader = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    return {writer, reader};
}

std::vector<uint8_t> pdu(uint8_t type, size_t body, std::mt19937 &random)
{
    std::vector<uint8_t> bytes{type, 0, uint8_t(body >> 24), uint8_t(body >> 16), uint8_t(body >> 8), uint8_t(body)};
    for (size_t i = 0; i < body; ++i)
        bytes.push_back(uint8_t(random()));
    return bytes;
}

// A P-DATA PDU of one value of `dataBytes`; `control` is its message
// control byte (bit 1: the message's last fragment).
std::vector<uint8_t> pdataPdu(size_t dataBytes, uint8_t control, std::mt19937 &random)
{
    const size_t item = dataBytes + 2, body = item + 4;
    std::vector<uint8_t> bytes{0x04, 0, uint8_t(body >> 24), uint8_t(body >> 16), uint8_t(body >> 8), uint8_t(body),
                               uint8_t(item >> 24), uint8_t(item >> 16), uint8_t(item >> 8), uint8_t(item), 1, control};
    for (size_t i = 0; i < dataBytes; ++i)
        bytes.push_back(uint8_t(random()));
    return bytes;
}

// What the peer reads within `limit` while the writer keeps the connection open.
std::vector<uint8_t> readWithin(int reader, size_t expected, std::chrono::milliseconds limit)
{
    std::vector<uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    uint8_t buffer[65536];
    while (received.size() < expected && std::chrono::steady_clock::now() < deadline) {
        pollfd wait{reader, POLLIN, 0};
        if (::poll(&wait, 1, 50) <= 0)
            continue;
        const ssize_t n = ::read(reader, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        received.insert(received.end(), buffer, buffer + n);
    }
    return received;
}

// Writes `stream` in the given pieces and returns what the peer read.
std::vector<uint8_t> throughConnection(const std::vector<uint8_t> &stream, const std::vector<size_t> &pieces)
{
    const auto [writer, reader] = loopbackPair();
    EXPECT_GE(writer, 0);
    EXPECT_GE(reader, 0);
    std::vector<uint8_t> received;
    std::thread peer([&, reader = reader] {
        uint8_t buffer[65536];
        for (;;) {
            const ssize_t n = ::read(reader, buffer, sizeof(buffer));
            if (n <= 0)
                break;
            received.insert(received.end(), buffer, buffer + n);
        }
        ::close(reader);
    });
    {
        GuardedConnection connection(writer, std::make_unique<DcmTCPConnection>(writer), std::string(), false, true);
        size_t at = 0;
        for (size_t piece : pieces) {
            EXPECT_EQ(connection.write(const_cast<uint8_t *>(stream.data()) + at, piece), ssize_t(piece)) << at;
            at += piece;
        }
        EXPECT_EQ(at, stream.size());
    } // closes the socket: the peer reads to the end
    peer.join();
    return received;
}

} // namespace

TEST(GuardedConnection, PiecesOfPdusArriveWholeAndInOrder)
{
    std::mt19937 random(11);
    // As DCMTK writes: an A-ASSOCIATE-RQ at once, then P-DATA PDUs as a
    // 12-byte header and the data, an A-RELEASE-RQ at once.
    std::vector<uint8_t> stream;
    std::vector<size_t> pieces;
    auto add = [&](const std::vector<uint8_t> &bytes, std::vector<size_t> split) {
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        pieces.insert(pieces.end(), split.begin(), split.end());
    };
    add(pdu(0x01, 200, random), {206});
    for (size_t body : {16384u, 100u, 6u, 65530u}) {
        const auto bytes = pdu(0x04, body, random);
        add(bytes, {12, bytes.size() - 12});
    }
    add(pdu(0x04, 40, random), {3, 3, 6, 20, 14}); // a header itself in pieces, short pieces held together
    add(pdu(0x05, 4, random), {10});
    add(pdu(0x04, 1000, random), {1006}); // a PDU in one write
    EXPECT_EQ(throughConnection(stream, pieces), stream);

    // Random pieces over many PDUs.
    std::vector<uint8_t> many;
    for (int i = 0; i < 200; ++i) {
        const auto bytes = pdu(uint8_t(0x04 + i % 4), random() % 300, random);
        many.insert(many.end(), bytes.begin(), bytes.end());
    }
    std::vector<size_t> cuts;
    for (size_t left = many.size(); left > 0;) {
        const size_t piece = std::min<size_t>(left, 1 + random() % 90);
        cuts.push_back(piece);
        left -= piece;
    }
    EXPECT_EQ(throughConnection(many, cuts), many);

    // Bytes that are not PDUs go through as they come.
    std::vector<uint8_t> other(5000);
    for (auto &b : other)
        b = uint8_t(0x47 + random() % 50);
    EXPECT_EQ(throughConnection(other, {7, 4993}), other);
}

// A write the socket refuses is an error for DCMTK to see, never a signal,
// and what was held for it is not sent later in front of other bytes.
TEST(GuardedConnection, AWriteThatFailsIsAnErrorAndDropsWhatWasHeld)
{
    std::mt19937 random(5);
    const auto [writer, reader] = loopbackPair();
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    GuardedConnection connection(writer, std::make_unique<DcmTCPConnection>(writer), std::string(), false, true);
    auto bytes = pdu(0x04, 5000, random);
    EXPECT_EQ(connection.write(bytes.data(), 12), 12); // held: the PDU goes on
    ::shutdown(writer, SHUT_WR);
    EXPECT_EQ(connection.write(bytes.data() + 12, bytes.size() - 12), -1);
    EXPECT_EQ(connection.write(bytes.data(), 12), -1) << "sent at once, not held behind the failure";
    uint8_t buffer[16];
    EXPECT_EQ(::read(reader, buffer, sizeof(buffer)), 0) << "nothing reached the peer";
    ::close(reader);
}

// DCMTK asks whether data is there before it reads, at times twice in a row;
// the answer may be remembered only until the next read, or an idle
// association would block in a read instead of timing out.
TEST(GuardedConnection, DataFoundReadableStaysSoOnlyUntilItIsRead)
{
    const auto [writer, reader] = loopbackPair();
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    GuardedConnection connection(reader, std::make_unique<DcmTCPConnection>(reader), std::string(), true, true);
    EXPECT_FALSE(connection.networkDataAvailable(0));
    const uint8_t sent[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(::write(writer, sent, sizeof(sent)), ssize_t(sizeof(sent)));
    EXPECT_TRUE(connection.networkDataAvailable(5000));
    EXPECT_TRUE(connection.networkDataAvailable(0));
    uint8_t got[10] = {};
    ASSERT_EQ(connection.read(got, 4), 4);
    EXPECT_TRUE(connection.networkDataAvailable(0)) << "six bytes are still there";
    ASSERT_EQ(connection.read(got + 4, 6), 6);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 10), std::vector<uint8_t>(sent, sent + 10));
    EXPECT_FALSE(connection.networkDataAvailable(0)) << "everything was read";
    EXPECT_FALSE(connection.networkDataAvailable(0));
    ::close(writer);
    EXPECT_TRUE(connection.networkDataAvailable(5000)) << "the peer's close is there to read";
    EXPECT_EQ(connection.read(got, sizeof(got)), 0);
}

// A message's inner fragments go to the kernel as "more to come", so that
// it sends them in full segments; the last fragment pushes them all out.
// A writer that stops inside a message (nothing more to write) still has
// all it wrote delivered, within the kernel's 200 ms for data held back: no
// byte waits for a write that never comes.
TEST(GuardedConnection, AMessagesInnerFragmentsGoOutWithItsLastAndNeverWaitForIt)
{
    std::mt19937 random(23);
    const auto [writer, reader] = loopbackPair();
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    const int on = 1;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)); // as every association's socket
    GuardedConnection connection(writer, std::make_unique<DcmTCPConnection>(writer), std::string(), false, true);
    auto writeAll = [&](const std::vector<uint8_t> &bytes) {
        // As DCMTK writes a P-DATA PDU: its two headers, then the data.
        EXPECT_EQ(connection.write(const_cast<uint8_t *>(bytes.data()), 12), 12);
        EXPECT_EQ(connection.write(const_cast<uint8_t *>(bytes.data()) + 12, bytes.size() - 12),
                  ssize_t(bytes.size() - 12));
    };
    std::vector<uint8_t> message;
    for (int i = 0; i < 32; ++i) {
        const auto fragment = pdataPdu(16372, 0x00, random);
        message.insert(message.end(), fragment.begin(), fragment.end());
    }
    const auto last = pdataPdu(999, 0x02, random);
    message.insert(message.end(), last.begin(), last.end());
    std::thread write([&] {
        for (size_t at = 0; at < message.size();) {
            const size_t size = 12 + (size_t(message[at + 2]) << 24 | size_t(message[at + 3]) << 16
                                      | size_t(message[at + 4]) << 8 | message[at + 5]) - 6;
            writeAll(std::vector<uint8_t>(message.begin() + ptrdiff_t(at), message.begin() + ptrdiff_t(at + size)));
            at += size;
        }
    });
    EXPECT_EQ(readWithin(reader, message.size(), std::chrono::seconds(10)), message);
    write.join();

    // Inner fragments and then nothing: they arrive all the same.
    std::vector<uint8_t> unfinished;
    for (int i = 0; i < 3; ++i) {
        const auto fragment = pdataPdu(1000 + 3000 * size_t(i), 0x01, random);
        unfinished.insert(unfinished.end(), fragment.begin(), fragment.end());
        writeAll(fragment);
    }
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(readWithin(reader, unfinished.size(), std::chrono::seconds(10)), unfinished);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    ::close(reader);
}
