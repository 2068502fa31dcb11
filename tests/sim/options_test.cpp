// The simulator's command line.
#include "options.h"

#include <gtest/gtest.h>

namespace {

std::vector<std::string> Args(std::initializer_list<const char*> args)
{
    return {args.begin(), args.end()};
}

TEST(SimOptions, ReadsNumbersInDecimalAndHexadecimal)
{
    const struct {
        const char* text;
        std::optional<std::uint64_t> value;
    } cases[] = {
        {"0", 0},          {"303", 303},  {"0x4000", 0x4000}, {"0X80000", 0x80000}, {"0xfC", 0xFC},
        {"", std::nullopt}, {"0x", std::nullopt}, {"-1", std::nullopt}, {"12a", std::nullopt},
        {" 5", std::nullopt}, {"$10", std::nullopt}, {"99999999999999999999", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(sim::ParseNumber(c.text), c.value) << '"' << c.text << '"';
}

TEST(SimOptions, TakesEveryOption)
{
    const auto parsed = sim::ParseArguments(Args({
        "--link", "/tmp/x", "--id", "QR741", "--loader-version", "LDR 2.00", "--flash-start", "0x10000",
        "--flash-end", "0x20000", "--block-size", "1024", "--fw-version", "0x12F", "--pace", "--once",
        "--flash-out", "f.bin", "--params-out", "p.txt", "--quiet-ms", "300", "--fault", "nak-erase",
        "--fault", "silent-after:P:7", "--fault", "bad-crc:L",
    }));
    ASSERT_TRUE(parsed.options) << parsed.error;
    const sim::Options& o = *parsed.options;
    EXPECT_EQ(o.link, "/tmp/x");
    EXPECT_EQ(o.id, "QR741");
    EXPECT_EQ(o.loaderVersion, "LDR 2.00");
    EXPECT_EQ(o.flashStart, 0x10000u);
    EXPECT_EQ(o.flashEnd, 0x20000u);
    EXPECT_EQ(o.blockSize, 1024);
    EXPECT_EQ(o.fwVersion, 303);
    EXPECT_TRUE(o.pace);
    EXPECT_TRUE(o.once);
    EXPECT_EQ(o.flashOut, "f.bin");
    EXPECT_EQ(o.paramsOut, "p.txt");
    EXPECT_EQ(o.quietPeriod, std::chrono::milliseconds(300));
    EXPECT_TRUE(o.faults.nakErase);
    EXPECT_TRUE(o.faults.SilentAfter(sim::Step::Block, 7));
    EXPECT_FALSE(o.faults.SilentAfter(sim::Step::Block, 6));
    EXPECT_EQ(o.faults.badCrc, std::set<char>{'L'});

    const auto defaults = sim::ParseArguments(Args({"--link", "l"}));
    ASSERT_TRUE(defaults.options);
    EXPECT_EQ(defaults.options->id, "QR740");
    EXPECT_EQ(defaults.options->loaderVersion, "LDR 1.00");
    EXPECT_EQ(defaults.options->quietPeriod, std::chrono::seconds(5));
    EXPECT_FALSE(defaults.options->pace);
}

TEST(SimOptions, RefusesWhatItCannotUse)
{
    const std::vector<std::string> cases[] = {
        Args({}),                                           // no link
        Args({"--link"}),                                   // no value
        Args({"--link", "l", "--bogus"}),
        Args({"--link", "l", "--block-size", "65536"}),
        Args({"--link", "l", "--fw-version", "0x10000"}),
        Args({"--link", "l", "--flash-start", "0x100000000"}),
        Args({"--link", "l", "--flash-start", "0", "--flash-end", "0x8000000"}), // 128 MiB
        Args({"--link", "l", "--quiet-ms", "0"}),
        Args({"--link", "l", "--id", "A\x06"}),
    };
    for (const auto& args : cases) {
        const auto parsed = sim::ParseArguments(args);
        EXPECT_FALSE(parsed.options);
        EXPECT_FALSE(parsed.error.empty());
    }
    EXPECT_TRUE(sim::ParseArguments(Args({"--link", "l", "--help"})).help);
}

TEST(SimOptions, KnowsEachFault)
{
    const char* const good[] = {
        "nak-erase", "nak-block:1", "nak-block:0x10", "silent-after:hs", "silent-after:id",
        "silent-after:loader", "silent-after:V", "silent-after:E", "silent-after:P:3", "silent-after:S",
        "bad-crc:L", "bad-crc:V", "bad-crc:E", "bad-crc:P", "bad-crc:S", "hangup-after-block:2",
        "at-silent", "at-error",
    };
    for (const char* f : good) {
        sim::Faults faults;
        EXPECT_TRUE(sim::AddFault(faults, f)) << f;
    }
    const char* const bad[] = {
        "", "nak", "nak-erase:1", "nak-block", "nak-block:0", "nak-block:x", "silent-after:P",
        "silent-after:P:0", "silent-after:v", "silent-after:", "bad-crc:X", "bad-crc:VE", "bad-crc:",
        "hangup-after-block", "at-silent:1",
    };
    for (const char* f : bad) {
        sim::Faults faults;
        EXPECT_FALSE(sim::AddFault(faults, f)) << f;
    }
}

} // namespace
