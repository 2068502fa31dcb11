// Prints how fast the CRC, the receiver and the byte-by-byte sender run. Figures
// only: nothing here passes or fails on time.
//
//   link_bench            CRC and receiver, in memory
//   link_bench --port     also writing frames to a pseudo-terminal through the port

#include "conversation.h"
#include "fcrc.h"
#include "frame.h"

#include <pty_pair.h>
#include <scratch_dir.h>
#include <vacomm.h>

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Keeps the optimiser from dropping work whose result nobody reads.
volatile std::uint32_t sink;

void BenchCrc()
{
    std::vector<std::uint8_t> buffer(64u << 20);
    for (std::size_t i = 0; i < buffer.size(); ++i)
        buffer[i] = std::uint8_t(i * 131 + (i >> 9));
    const auto start = Clock::now();
    sink = CrcOf(buffer);
    const double s = Seconds(Clock::now() - start);
    std::printf("CrcUpdate:       %7.1f MB/s  %5.2f ns/byte  (%zu MiB)\n", buffer.size() / s / 1e6,
                s * 1e9 / double(buffer.size()), buffer.size() >> 20);
}

void BenchReceiver()
{
    std::vector<std::uint8_t> block(256);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = std::uint8_t(i);
    const auto frame = EncodeLinkFrame('P', 0x4000, block);
    constexpr int frames = 200000;
    TLinkReceiver receiver;
    int good = 0;
    const auto start = Clock::now();
    for (int n = 0; n < frames; ++n) {
        receiver.Reset();
        for (std::uint8_t b : frame)
            good += receiver.Feed(b) == TLinkReceiver::TResult::FrameGood;
    }
    const double s = Seconds(Clock::now() - start);
    sink = std::uint32_t(good);
    const double bytes = double(frames) * double(frame.size());
    std::printf("receiver:        %7.1f MB/s  %5.2f ns/byte  (%d frames of %zu bytes, %d good)\n",
                bytes / s / 1e6, s * 1e9 / bytes, frames, frame.size(), good);
}

void BenchPortWrites()
{
    ScratchDir dir;
    PtyPair pty(dir / "ttyBench");
    TVaComm port;
    port.SetDeviceName(pty.Link().string());
    port.SetBaudrate(br9600);
    port.SetFlowControl(fcNone);
    port.Open();
    TConversation conversation(port);

    std::vector<std::uint8_t> block(256, 0x5A);
    constexpr int frames = 200;
    const std::size_t frameBytes = block.size() + kFrameOverhead;
    const auto start = Clock::now();
    for (int n = 0; n < frames; ++n) {
        conversation.SendRequest('P', 0x4000 + 256u * unsigned(n), block);
        // Drain as we go so the pseudo-terminal's buffer never fills.
        pty.Read(frameBytes);
    }
    const double s = Seconds(Clock::now() - start);
    conversation.DisarmTimeOut();
    port.Close();
    const double perFrame = s / frames;
    // On a real line every byte takes ten bit times: 1.04 ms at 9600 baud.
    std::printf("'P' frame write: %7.3f ms per %zu-byte frame, %5.2f us per WriteChar "
                "(the line alone needs %.0f ms at 9600 baud)\n",
                perFrame * 1e3, frameBytes, perFrame * 1e6 / double(frameBytes),
                double(frameBytes) * 10.0 / 9600.0 * 1e3);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    BenchCrc();
    BenchReceiver();
    if (argc > 1 && std::strcmp(argv[1], "--port") == 0)
        BenchPortWrites();
    return 0;
}
