// The conversation's sender, receiver and response timer on a real port: a
// pseudo-terminal whose far side plays the controller.

#include "conversation.h"
#include "fcrc.h"
#include "frame.h"
#include "hex.h"
#include "loadersession.h"
#include "programmerport.h"

#include <pty_pair.h>
#include <scratch_dir.h>
#include <vacomm.h>
#include <wait.h>

#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const std::vector<std::uint8_t> kVersionRequest = Hex("24 41 50 4C 24 56 00 00 00 00 00 00 3A 86");
const std::vector<std::uint8_t> kVersionReply =
    Hex("24 41 50 4C 24 56 09 00 00 40 00 00 2F 01 00 00 08 00 00 00 01 F1 DF");

class ConversationTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetUpProgrammerPort(port);
        port.SetDeviceName(pty.Link().string());
        port.Open();
    }

    // What a stage's receive handler does: read every announced byte and pass it
    // on; an intact reply ends the wait for it.
    void ReceiveReplies()
    {
        port.OnRxChar = [this](TVaCustomComm*, std::int32_t count) {
            for (std::int32_t i = 0; i < count; ++i) {
                std::uint8_t b = 0;
                port.ReadChar(b);
                if (conversation.ParseReplyByte(b)) {
                    conversation.DisarmTimeOut();
                    reported.push_back(conversation.RxCommand());
                }
            }
        };
    }

    ScratchDir dir;
    PtyPair pty{dir / "ttyQR"};
    TVaComm port;
    TConversation conversation{port};
    std::vector<std::uint8_t> reported; // command letters of the frames reported good
};

TEST_F(ConversationTest, WritesTheVersionRequestAsTheGoldenBytes)
{
    conversation.SendRequest('V', 0);

    EXPECT_EQ(pty.Drain(), kVersionRequest);
    EXPECT_EQ(conversation.Crc, 0xFFFF);
    EXPECT_TRUE(conversation.TimeOutArmed());
}

TEST_F(ConversationTest, WritesEveryRequestAsTheFrameLayoutSays)
{
    std::vector<std::uint8_t> block(256);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = std::uint8_t(0xFF - i);
    struct TRequest {
        std::uint8_t Command;
        std::uint32_t Address;
        std::vector<std::uint8_t> Data;
    };
    const TRequest requests[] = {
        {'E', 0x00004000, Hex("01")},
        {'P', 0x12345678, block},
        {'S', 0, {}},
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.Command);
        conversation.SendRequest(request.Command, request.Address, request.Data);
        EXPECT_EQ(pty.Drain(), EncodeLinkFrame(request.Command, request.Address, request.Data));
    }
}

TEST_F(ConversationTest, WritesAnUnframedUploadWithTheSameCrcPrimitives)
{
    // The loader goes out as its length, its bytes and the CRC: no preamble,
    // and no time-out armed by the sending itself.
    struct TCase {
        const char* Content;
        const char* Wire;
    };
    const TCase cases[] = {
        {"01 02 03", "03 00 01 02 03 B3 76"},
        {"", "00 00 B8 F0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Content);
        const auto content = Hex(c.Content);
        conversation.ResetCrc();
        conversation.SendByte(std::uint8_t(content.size()));
        conversation.SendByte(std::uint8_t(content.size() >> 8));
        for (std::uint8_t b : content)
            conversation.SendByte(b);
        conversation.EndFrame();

        EXPECT_EQ(pty.Drain(), Hex(c.Wire));
        EXPECT_EQ(conversation.Crc, 0xFFFF);
        EXPECT_FALSE(conversation.TimeOutArmed());
    }
}

TEST_F(ConversationTest, WritesATextLineUnchangedWithCrLfAndNoCrc)
{
    const std::string cases[] = {
        "",
        "ATCODE=1",
        std::string("\xE9\x00\x7F$APL$", 9), // 8-bit text, a NUL, a preamble: all just bytes
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(text);
        conversation.Crc = 0x1234;
        conversation.SendTextLine(text);

        EXPECT_EQ(pty.Drain(), Join(Text(text), Hex("0D 0A")));
        EXPECT_EQ(conversation.Crc, 0x1234);
        EXPECT_FALSE(conversation.TimeOutArmed());
    }
}

TEST_F(ConversationTest, ReportsAReplyArrivingInPiecesOnceAndDisarmsTheTimeOut)
{
    ReceiveReplies();
    conversation.SendRequest('V', 0);
    ASSERT_EQ(pty.Read(kVersionRequest.size()), kVersionRequest);
    ASSERT_TRUE(conversation.TimeOutArmed());

    // Junk and a half preamble ahead of the reply, the reply split mid-field,
    // and a second copy behind it that belongs to no request.
    const auto split = kVersionReply.begin() + 7; // between the two length bytes
    pty.Write(Join(Hex("00 24 41"), std::vector<std::uint8_t>(kVersionReply.begin(), split)));
    ASSERT_TRUE(WaitUntil([&] { return conversation.LinkReceiver().RxState == TLinkReceiver::ReadLength; }));
    EXPECT_TRUE(conversation.TimeOutArmed());
    pty.Write(Join(std::vector<std::uint8_t>(split, kVersionReply.end()), kVersionReply));
    ASSERT_TRUE(WaitUntil([&] { return !reported.empty(); }));
    ASSERT_TRUE(WaitUntil([&] { return port.ReadBufUsed() == 0; }));
    RunEventsFor(200ms);

    EXPECT_EQ(reported, std::vector<std::uint8_t>{'V'});
    EXPECT_FALSE(conversation.TimeOutArmed());
    EXPECT_EQ(conversation.RxLength(), 9);
    EXPECT_EQ(conversation.RxAddress(), 0x4000u);
    EXPECT_EQ(conversation.RxData(1), 0x2F);
    EXPECT_EQ(conversation.RxData(9), 0x01);

    // The next request resets the receiver, so its reply is taken in.
    conversation.SendRequest('E', 0x4000, Hex("01"));
    pty.Write(EncodeLinkFrame('E', 0x4000, Hex("06")));
    ASSERT_TRUE(WaitUntil([&] { return reported.size() == 2; }));
    EXPECT_EQ(reported.back(), 'E');
    EXPECT_EQ(conversation.RxData(1), 0x06);
}

// A reply whose CRC does not verify answers nothing: the request's time-out
// keeps running, and an intact reply behind it is still taken. Only the caller,
// which knows what it asked for, ends the wait.
TEST_F(ConversationTest, ABrokenReplyIsDroppedAndTheTimeOutKeepsRunning)
{
    auto damaged = kVersionReply;
    damaged[14] ^= 0x40;
    struct TCase {
        const char* What;
        const std::vector<std::uint8_t>& Frame;
        bool Good;
    };
    const TCase cases[] = {{"intact", kVersionReply, true}, {"one data byte changed", damaged, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        conversation.ResetReceiver();
        conversation.ArmTimeOut();
        for (std::size_t i = 0; i + 1 < c.Frame.size(); ++i)
            ASSERT_FALSE(conversation.ParseReplyByte(c.Frame[i]));
        EXPECT_TRUE(conversation.TimeOutArmed());

        EXPECT_EQ(conversation.ParseReplyByte(c.Frame.back()), c.Good);
        EXPECT_TRUE(conversation.TimeOutArmed());

        // After an intact frame the receiver rests: a copy behind it is not
        // reported twice. After a broken one it looks for the next reply.
        bool taken = false;
        for (std::uint8_t b : kVersionReply)
            taken = conversation.ParseReplyByte(b) || taken;
        EXPECT_EQ(taken, !c.Good);
        EXPECT_TRUE(conversation.TimeOutArmed());
        conversation.DisarmTimeOut();
    }
}

TEST_F(ConversationTest, AFailedWriteLeavesTheTimeOutArmed)
{
    port.Close();
    EXPECT_THROW(conversation.SendRequest('V', 0), EVaCommError);
    EXPECT_TRUE(conversation.TimeOutArmed());
}

TEST_F(ConversationTest, ArmingAnArmedTimeOutKeepsItsFirstPeriod)
{
    constexpr auto period = 1000ms;
    conversation.SetReplyTimeout(period);
    int fired = 0;
    conversation.OnTimeOut = [&] {
        ++fired;
        EXPECT_FALSE(conversation.TimeOutArmed()); // disarmed before the handler runs
    };

    // One clock started before the arming bounds the firing from below, one
    // started after it bounds what may be left when arming again.
    QElapsedTimer beforeArming;
    beforeArming.start();
    conversation.SendRequest('V', 0);
    QElapsedTimer afterArming;
    afterArming.start();
    RunEventsFor(300ms);
    const auto waited = std::chrono::milliseconds(afterArming.elapsed());
    conversation.SendRequest('V', 0); // a second request before any reply

    // Restarted, it would have the whole period left.
    EXPECT_LE(conversation.TimeOutRemaining(), period - waited + 1ms);
    ASSERT_TRUE(WaitUntil([&] { return fired == 1; }, 5s));
    EXPECT_GE(beforeArming.elapsed(), period.count());
    EXPECT_FALSE(conversation.TimeOutArmed());
}

TEST_F(ConversationTest, TimeOutFiresOnceAndThenStaysDisarmed)
{
    conversation.SetReplyTimeout(50ms);
    int fired = 0;
    conversation.OnTimeOut = [&] { ++fired; };
    conversation.ArmTimeOut();
    ASSERT_TRUE(WaitUntil([&] { return fired == 1; }));
    RunEventsFor(300ms);
    EXPECT_EQ(fired, 1);

    // Without a handler it disarms all the same.
    conversation.OnTimeOut = nullptr;
    conversation.ArmTimeOut();
    EXPECT_TRUE(WaitUntil([&] { return !conversation.TimeOutArmed(); }));
}

TEST_F(ConversationTest, TimeOutHandlerFailureGoesToTheApplicationReport)
{
    std::vector<std::string> reports;
    SetVaExceptionReport([&](std::exception_ptr error) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            reports.push_back(e.what());
        }
    });
    conversation.SetReplyTimeout(20ms);
    conversation.OnTimeOut = [] { throw EVaCommError("Can't open device COM1"); };
    conversation.ArmTimeOut();

    EXPECT_TRUE(WaitUntil([&] { return !reports.empty(); }));
    SetVaExceptionReport(nullptr);
    EXPECT_EQ(reports, std::vector<std::string>{"Can't open device COM1"});
    EXPECT_FALSE(conversation.TimeOutArmed());
}

// The real period: a second arming 2 s in must not move the deadline to 10 s.
TEST_F(ConversationTest, TimeOutFires8000msAfterTheFirstArming)
{
    bool fired = false;
    qint64 firedAt = 0;
    QElapsedTimer beforeArming;
    conversation.OnTimeOut = [&] {
        fired = true;
        firedAt = beforeArming.elapsed();
    };

    beforeArming.start();
    conversation.ArmTimeOut();
    QElapsedTimer afterArming;
    afterArming.start();
    RunEventsFor(2000ms);
    const auto waited = std::chrono::milliseconds(afterArming.elapsed());
    conversation.ArmTimeOut();
    EXPECT_LE(conversation.TimeOutRemaining(), kReplyTimeout - waited + 1ms);

    ASSERT_TRUE(WaitUntil([&] { return fired; }, 12s));
    EXPECT_GE(firedAt, 8000);
    EXPECT_LT(firedAt, 10000);
}

} // namespace
