// The DFU command language on its own, over a scripted transport: request
// bytes, decoding, status bytes and transport failures. No USB involved.

#include <gmock/gmock.h>

#include <functional>
#include <vector>

#include "dfu/dfu_protocol.h"

namespace {

using ::testing::ElementsAreArray;
using Bytes = std::vector<uint8_t>;

// The scripted peer: records each request and answers with `answer`.
struct Peer {
    std::vector<Bytes> requests;
    std::vector<int> response_lengths;
    Bytes answer;
    int result = 0;
};
Peer peer;

int scripted_transport(const uint8_t* request, uint8_t request_length, uint8_t* response,
                       uint8_t response_length)
{
    peer.requests.emplace_back(request, request + request_length);
    peer.response_lengths.push_back(response_length);
    for (size_t i = 0; i < peer.answer.size() && i < response_length; ++i)
        response[i] = peer.answer[i];
    return peer.result;
}

class DfuProtocol : public ::testing::Test {
protected:
    void SetUp() override
    {
        peer = Peer{};
        dfu_set_transport(scripted_transport);
    }
    void TearDown() override { dfu_set_transport(null_transport); }
};

TEST_F(DfuProtocol, RequestBytes)
{
    struct Case {
        const char* name;
        std::function<int()> command;
        Bytes request;
    };
    DfuInfo info{};
    const Case cases[] = {
        {"get info", [&] { return dfu_get_info(&info); }, {0x11, 0x60}},
        {"reset", [] { return dfu_reset_to_dfu_mode(); }, {0x11, 0x00}},
        {"leave", [] { return dfu_leave_dfu_mode(); }, {0x11, 0x01}},
        {"clear sector 1",
         [] { return dfu_clear_sector(1); },
         {0x11, 0x02, 0x01, 0x00, 0x00, 0x00}},
        {"clear sector 0x01020304",
         [] { return dfu_clear_sector(0x01020304); },
         {0x11, 0x02, 0x04, 0x03, 0x02, 0x01}},
        {"set mode idle", [] { return dfu_set_mode(DFU_MODE_IDLE); }, {0x11, 0x03, 0x00}},
        {"set mode program", [] { return dfu_set_mode(DFU_MODE_PROGRAM); }, {0x11, 0x03, 0x01}},
        {"set mode verify", [] { return dfu_set_mode(DFU_MODE_VERIFY); }, {0x11, 0x03, 0x02}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        peer = Peer{};
        EXPECT_EQ(c.command(), 0);
        ASSERT_EQ(peer.requests.size(), 1u);
        EXPECT_THAT(peer.requests[0], ElementsAreArray(c.request));
        EXPECT_EQ(peer.response_lengths[0], 31);
    }
}

TEST_F(DfuProtocol, GetInfoDecodesLittleEndianFields)
{
    peer.answer = {0x01, 0x00, 0x01, 0x01, 0x78, 0x56, 0x34, 0x12, 0xAA};
    DfuInfo info{};
    EXPECT_EQ(dfu_get_info(&info), 0);
    EXPECT_EQ(info.flags, 0x0001);
    EXPECT_TRUE(info.flags & IS_DFU_MODE);
    EXPECT_EQ(info.dfu_version, 0x0101);
    EXPECT_EQ(info.hw_version, 0x12345678u);
}

TEST_F(DfuProtocol, StatusBytesPassUnchangedAndTransportFailuresBecomeMinusOne)
{
    const std::function<int()> status_commands[] = {
        [] { return dfu_reset_to_dfu_mode(); },
        [] { return dfu_leave_dfu_mode(); },
        [] { return dfu_clear_sector(3); },
        [] { return dfu_set_mode(DFU_MODE_PROGRAM); },
    };
    for (const auto& command : status_commands) {
        for (const int status : {0x00, 0x01, 0x7F, 0xFF}) {
            peer = Peer{};
            peer.answer = {static_cast<uint8_t>(status)};
            EXPECT_EQ(command(), status);
        }
        // A transport's own code, negative or not, is not passed on.
        for (const int failure : {-9, -1, 1, 255}) {
            peer = Peer{};
            peer.answer = {0x00};
            peer.result = failure;
            EXPECT_EQ(command(), -1);
        }
    }
}

TEST_F(DfuProtocol, FailedGetInfoLeavesTheRecordAlone)
{
    peer.answer = {0x01, 0x00, 0x01, 0x01, 0x78, 0x56, 0x34, 0x12};
    peer.result = -4;
    DfuInfo info{0xBEEF, 0xCAFE, 0xDEADBEEF};
    EXPECT_EQ(dfu_get_info(&info), -1);
    EXPECT_EQ(info.flags, 0xBEEF);
    EXPECT_EQ(info.dfu_version, 0xCAFE);
    EXPECT_EQ(info.hw_version, 0xDEADBEEFu);
}

TEST_F(DfuProtocol, AnswerThatWasNeverWrittenDecodesAsZeros)
{
    // A full answer first, so the stack holds something worth mistaking.
    peer.answer = Bytes(31, 0xAB);
    DfuInfo info{};
    ASSERT_EQ(dfu_get_info(&info), 0);
    EXPECT_EQ(dfu_set_mode(DFU_MODE_IDLE), 0xAB);

    // Then a transport that reports success and writes nothing.
    peer.answer.clear();
    EXPECT_EQ(dfu_set_mode(DFU_MODE_IDLE), 0);
    EXPECT_EQ(dfu_clear_sector(1), 0);
    EXPECT_EQ(dfu_get_info(&info), 0);
    EXPECT_EQ(info.flags, 0);
    EXPECT_EQ(info.dfu_version, 0);
    EXPECT_EQ(info.hw_version, 0u);

    // A short answer: the bytes after it are zeros too.
    peer.answer = {0x01, 0x00, 0x01};
    EXPECT_EQ(dfu_get_info(&info), 0);
    EXPECT_EQ(info.dfu_version, 0x0001);
    EXPECT_EQ(info.hw_version, 0u);
}

TEST_F(DfuProtocol, NullTransportReportsSuccessWithoutAnExchange)
{
    dfu_set_transport(null_transport);
    DfuInfo info{};
    EXPECT_EQ(dfu_get_info(&info), 0);
    EXPECT_EQ(dfu_clear_sector(1), 0);
    EXPECT_EQ(dfu_leave_dfu_mode(), 0);
    EXPECT_TRUE(peer.requests.empty());

    EXPECT_EQ(dfu_set_transport(scripted_transport), 0);
    EXPECT_EQ(dfu_leave_dfu_mode(), 0);
    EXPECT_EQ(peer.requests.size(), 1u);
}

}  // namespace
