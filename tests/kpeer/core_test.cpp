// The kernel peer's pure logic: its "Peer" parser against the Linux peers' own, the baud
// blocks it takes out of a port's stream, its ring, its pacing credit and the instance it
// reads out of an interface link.

#include "abi/baud_block.h"
#include "abi/serial_abi.h"
#include "host/peers/peer_description.h"
#include "host/peers/peer_factory.h"
#include "kpeer/kpeer.h"
#include "kpeer/peer_core.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace qvx {
namespace {

// The kernel peer keeps copies of the baud block's constants and the flow characters: it
// includes only WDK headers.
static_assert(PEER_BAUD_TAG == abi::BAUD_TAG && PEER_BAUD_BLOCK_BYTES == abi::BAUD_BLOCK_BYTES &&
              PEER_MIN_PLAUSIBLE_RATE == abi::BAUD_RATE_MIN &&
              PEER_MAX_PLAUSIBLE_RATE == abi::BAUD_RATE_MAX);
static_assert(PEER_XON == abi::DEFAULT_XON_CHAR && PEER_XOFF == abi::DEFAULT_XOFF_CHAR);

std::u16string Wide(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

PCSTR ParseKernel(const std::string& text, ::PeerConfig* config)
{
    const std::u16string wide = Wide(text);
    return QuarvexPeerParseConfig(wide.data(), static_cast<ULONG>(wide.size()), config);
}

ULONG KernelNetwork(PeerKind kind)
{
    switch (kind) {
    case PeerKind::TcpClient:
        return QVXPEER_NETWORK_TCP_CLIENT;
    case PeerKind::TcpServer:
        return QVXPEER_NETWORK_TCP_SERVER;
    case PeerKind::Rfc2217:
        return QVXPEER_NETWORK_RFC2217;
    default:
        return QVXPEER_NETWORK_NONE;
    }
}

ULONG KernelKind(PeerKind kind)
{
    switch (kind) {
    case PeerKind::None:
        return QVXPEER_KIND_NONE;
    case PeerKind::Loopback:
        return QVXPEER_KIND_LOOPBACK;
    case PeerKind::Pair:
        return QVXPEER_KIND_PAIR;
    default:
        return QVXPEER_KIND_USER;
    }
}

// Descriptions assembled from the pieces each grammar rule turns on, valid and not.
std::string RandomDescription(std::mt19937* random)
{
    static const std::vector<std::string> heads = {
        "none", "loopback", "pair:", "tcp-client:", "tcp-server:", "rfc2217:",   "Loopback",
        "pair", "",         "none:", "loopback:",   "tcp-server",  "pty:/tmp/x", "modem"};
    static const std::vector<std::string> arguments = {
        "COM6",    "com12",           "COM12345678", "COM123456789", "a b",        "host:7000",
        "h.lan:1", "127.0.0.1:65535", "bad host:1",  "host:0",       "host:65536", "7001",
        ":7000",   "host:80x",        "x:",          "h:1:2",        "COM6\\x",    ""};
    static const std::vector<std::string> options = {"line-speed",
                                                     "xonxoff",
                                                     "buffer=1024",
                                                     "buffer=1023",
                                                     "buffer=1073741824",
                                                     "buffer=1073741825",
                                                     "buffer=99999999999",
                                                     "buffer=",
                                                     "buffer",
                                                     "retry=10",
                                                     "retry=9",
                                                     "retry=60000",
                                                     "retry=60001",
                                                     "xonxoff=1",
                                                     "line-speed=1",
                                                     "",
                                                     "fast"};
    std::string text = heads[(*random)() % heads.size()];
    if (!text.empty() && text.back() == ':') {
        text += arguments[(*random)() % arguments.size()];
    }
    const unsigned count = (*random)() % 4;
    for (unsigned i = 0; i < count; ++i) {
        text += "," + options[(*random)() % options.size()];
    }
    return text;
}

// Every description means the same to both parsers, except where the systems differ on
// purpose: pty has no meaning on Windows. A pair names a port by the one rule of port names.
TEST(PeerConfigTest, ReadsEveryDescriptionAsTheLinuxPeersDo)
{
    std::mt19937 random(20240527);
    for (int round = 0; round < 5000; ++round) {
        const std::string text = RandomDescription(&random);
        SCOPED_TRACE(text);
        ::PeerConfig kernel;
        const PCSTR why = ParseKernel(text, &kernel);
        PeerConfig host;
        std::string error;
        const bool hostAccepts = ParsePeerDescription(text, &host, &error);
        if (hostAccepts && host.Kind == PeerKind::Pty) {
            EXPECT_NE(why, nullptr);
            continue;
        }
        ASSERT_EQ(why == nullptr, hostAccepts) << (why != nullptr ? why : error);
        EXPECT_EQ(CheckPeerDescription(text, &error), hostAccepts);
        if (!hostAccepts) {
            EXPECT_EQ(kernel.Kind, QVXPEER_KIND_NONE); // refused means no peer
            continue;
        }
        EXPECT_EQ(kernel.Kind, KernelKind(host.Kind));
        EXPECT_EQ(kernel.Network, KernelNetwork(host.Kind));
        EXPECT_EQ(std::u16string(kernel.PairName), Wide(host.PairPort));
        EXPECT_EQ(kernel.LineSpeed != FALSE, host.LineSpeed);
        EXPECT_EQ(kernel.XonXoff != FALSE, host.XonXoff);
        EXPECT_EQ(kernel.BufferBytes == 0 ? 1u << 20 : kernel.BufferBytes, host.Buffer);
    }
}

// What only the kernel reads: a bridge is a user port, and pty or a pair it cannot serve is
// refused with a reason.
TEST(PeerConfigTest, KernelKindsAndRefusals)
{
    ::PeerConfig config;
    ASSERT_EQ(ParseKernel("bridge,xonxoff,buffer=4096", &config), nullptr);
    EXPECT_EQ(config.Kind, QVXPEER_KIND_USER);
    EXPECT_EQ(config.Network, QVXPEER_NETWORK_BRIDGE);
    EXPECT_EQ(config.BufferBytes, 4096u);
    EXPECT_NE(ParseKernel("bridge:COM5", &config), nullptr);
    EXPECT_NE(ParseKernel("bridge,line-speed", &config), nullptr);
    EXPECT_NE(ParseKernel("pty:/tmp/quarvex/COM5", &config), nullptr);
    EXPECT_NE(ParseKernel("pair:COM123456789", &config), nullptr);
    EXPECT_EQ(config.Kind, QVXPEER_KIND_NONE);
    // A value may arrive without its terminator; only Length characters count.
    const std::u16string value = u"loopbackXYZ";
    EXPECT_EQ(QuarvexPeerParseConfig(value.data(), 8, &config), nullptr);
    EXPECT_EQ(config.Kind, QVXPEER_KIND_LOOPBACK);
    EXPECT_TRUE(QuarvexPeerNamesEqual(u"com6", u"COM6"));
    EXPECT_FALSE(QuarvexPeerNamesEqual(u"COM6", u"COM60"));
}

std::vector<UCHAR> BaudBlock(ULONG rate)
{
    return {0x44,
            0x55,
            0x41,
            0x42,
            static_cast<UCHAR>(rate),
            static_cast<UCHAR>(rate >> 8),
            static_cast<UCHAR>(rate >> 16),
            static_cast<UCHAR>(rate >> 24)};
}

std::vector<UCHAR> Strip(const std::vector<UCHAR>& block, ULONG* rate)
{
    std::vector<UCHAR> data(block.size());
    data.resize(QuarvexPeerStripBaudBlocks(block.data(), static_cast<ULONG>(block.size()),
                                           data.data(), rate));
    return data;
}

// Plausible blocks vanish wherever they lie; the tag with an impossible rate, or cut off at
// the end of the block, is data.
TEST(PeerBaudTest, TakesOutPlausibleBlocksOnly)
{
    std::vector<UCHAR> block = {'a'};
    for (const ULONG rate : {9600u, 1u, 16000000u}) {
        const std::vector<UCHAR> baud = BaudBlock(rate);
        block.insert(block.end(), baud.begin(), baud.end());
    }
    block.push_back('b');
    ULONG rate = 0;
    EXPECT_EQ(Strip(block, &rate), (std::vector<UCHAR>{'a', 'b'}));
    EXPECT_EQ(rate, 16000000u);

    for (const ULONG implausible : {0u, 16000001u, 0x42415544u}) {
        const std::vector<UCHAR> data = BaudBlock(implausible);
        rate = 7;
        EXPECT_EQ(Strip(data, &rate), data) << implausible;
        EXPECT_EQ(rate, 7u);
    }
    // A tag whose rate bytes start another, plausible block: the first four bytes are data.
    std::vector<UCHAR> nested = {0x44, 0x55, 0x41, 0x42};
    const std::vector<UCHAR> inner = BaudBlock(19200);
    nested.insert(nested.end(), inner.begin(), inner.end());
    rate = 0;
    EXPECT_EQ(Strip(nested, &rate), (std::vector<UCHAR>{0x44, 0x55, 0x41, 0x42}));
    EXPECT_EQ(rate, 19200u);
    std::vector<UCHAR> cut = BaudBlock(9600);
    cut.pop_back();
    rate = 0;
    EXPECT_EQ(Strip(cut, &rate), cut);
    EXPECT_EQ(rate, 0u);
}

// Bytes come out in the order they went in across the ring's end, and a full ring takes only
// what fits.
TEST(PeerRingTest, KeepsOrderAcrossTheEndAndTakesOnlyWhatFits)
{
    UCHAR storage[10];
    PeerRing ring = {storage, sizeof(storage), 0, 0};
    UCHAR in[8];
    UCHAR out[8];
    UCHAR next = 0;
    UCHAR expected = 0;
    for (int round = 0; round < 7; ++round) {
        for (UCHAR& byte : in) {
            byte = next++;
        }
        ASSERT_EQ(QuarvexPeerRingPut(&ring, in, 7), 7u);
        ASSERT_EQ(QuarvexPeerRingTake(&ring, out, 7), 7u);
        for (ULONG i = 0; i < 7; ++i) {
            ASSERT_EQ(out[i], expected++) << "round " << round;
        }
        next = expected;
    }
    EXPECT_EQ(QuarvexPeerRingPut(&ring, in, 8), 8u);
    EXPECT_EQ(QuarvexPeerRingPut(&ring, in, 8), 2u);
    EXPECT_EQ(QuarvexPeerRingTake(&ring, out, 8), 8u);
    EXPECT_EQ(QuarvexPeerRingTake(&ring, out, 8), 2u);
    EXPECT_EQ(QuarvexPeerRingTake(&ring, out, 8), 0u);
    PeerRing none = {nullptr, 0, 0, 0};
    EXPECT_EQ(QuarvexPeerRingPut(&none, in, 8), 0u);
}

constexpr ULONGLONG TICKS_PER_MS = 10000;

// Bytes one second of runs every Period milliseconds delivers at Rate, spending every budget.
ULONG DeliveredInOneSecond(ULONG rate, ULONG periodMs)
{
    PeerPacing pacing = {};
    ULONG total = 0;
    for (ULONGLONG now = TICKS_PER_MS; now <= 1000 * TICKS_PER_MS; now += periodMs * TICKS_PER_MS) {
        const ULONG budget = QuarvexPeerPaceBudget(&pacing, rate, now);
        QuarvexPeerPaceSpend(&pacing, budget);
        total += budget;
    }
    return total;
}

// A paced line carries its rate at 10 bits per byte, whatever the run period, slow rates
// included; unpaced, each run may hand over the bound and no more.
TEST(PeerPacingTest, CarriesTheRateAndBoundsEachRun)
{
    EXPECT_NEAR(DeliveredInOneSecond(9600, 10), 960, 10);
    EXPECT_NEAR(DeliveredInOneSecond(9600, 13), 960, 10);
    EXPECT_NEAR(DeliveredInOneSecond(115200, 10), 11520, 20);
    EXPECT_NEAR(DeliveredInOneSecond(300, 10), 30, 2);
    PeerPacing pacing = {};
    EXPECT_EQ(QuarvexPeerPaceBudget(&pacing, 0, 0), PEER_MAX_RUN_BYTES);
    // A run long overdue gets one run's bound, and the next one only its own period's worth.
    ULONGLONG now = 0;
    EXPECT_EQ(QuarvexPeerPaceBudget(&pacing, 96000, now), 96u);
    QuarvexPeerPaceSpend(&pacing, 96);
    now += 3600000 * TICKS_PER_MS;
    EXPECT_EQ(QuarvexPeerPaceBudget(&pacing, 96000, now), PEER_MAX_RUN_BYTES);
    QuarvexPeerPaceSpend(&pacing, PEER_MAX_RUN_BYTES);
    now += 10 * TICKS_PER_MS;
    EXPECT_EQ(QuarvexPeerPaceBudget(&pacing, 96000, now), 96u);
}

// An idle line banks no more than a byte's fraction: after a long pause it restarts with one
// period's credit, not a burst.
TEST(PeerPacingTest, IdleLineRestartsWithOnePeriod)
{
    PeerPacing pacing = {};
    ULONGLONG now = 0;
    ULONG budget = QuarvexPeerPaceBudget(&pacing, 96000, now);
    EXPECT_EQ(budget, 96u);
    QuarvexPeerPaceSpend(&pacing, 90); // six bytes' credit left unspent
    QuarvexPeerPaceIdle(&pacing);
    now += 5000 * TICKS_PER_MS;
    budget = QuarvexPeerPaceBudget(&pacing, 96000, now);
    EXPECT_EQ(budget, 96u);
}

std::u16string Instance(const std::u16string& link)
{
    WCHAR out[32];
    const ULONG length =
        QuarvexPeerInstanceFromLink(link.data(), static_cast<ULONG>(link.size()), out, 32);
    return std::u16string(out, length);
}

// The instance comes out of the link whether the system spells it for the kernel or for
// programs, with or without a reference string; anything else is not a link.
TEST(PeerLinkTest, InstanceFromInterfaceLink)
{
    const std::u16string guid = u"#{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
    EXPECT_EQ(Instance(u"\\??\\ROOT#PORTS#0000" + guid), u"ROOT\\PORTS\\0000");
    EXPECT_EQ(Instance(u"\\\\?\\ROOT#PORTS#0001" + guid + u"\\ref"), u"ROOT\\PORTS\\0001");
    EXPECT_EQ(Instance(u"\\??\\" + guid), u"");
    EXPECT_EQ(Instance(u"\\??\\ROOT#PORTS#0000#86E0D1E0-8089-11D0-9CE4-08003E301F73"), u"");
    EXPECT_EQ(Instance(u"\\Device\\X" + guid), u"");
    EXPECT_EQ(Instance(u"\\??\\ROOT#A_VERY_LONG_ENUMERATOR#0000000000000000" + guid), u"");
}

} // namespace
} // namespace qvx
