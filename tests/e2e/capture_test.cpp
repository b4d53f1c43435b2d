// The capture port of the real server, read live by Debian's tshark with the shipped
// dissector, and its readers held to the monitors' rules. The bus is a pty playing a serial
// interface; every connection is on loopback.
#include <gtest/gtest.h>

#include <future>
#include <sstream>

#include "flow.h"
#include "lonmsg/decode.h"
#include "lonmsg/lpdu.h"
#include "server_status.h"
#include "support/missing.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

using ipmsg::Bytes;

constexpr char ATTACHED[] = "capture reader 127.0.0.1:";

std::string CaptureSettings(int port, int capturePort, const std::string& more = "") {
    char value[48];
    std::snprintf(value, sizeof value, "\"CapturePort\"=dword:%08x\n", capturePort);
    return "[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(port) + "]\n" + value + more;
}

Bytes Message(uint8_t command, uint8_t h0, uint8_t h1, const Bytes& address, const Bytes& pdu) {
    Bytes t = {command, uint8_t(3 + address.size() + pdu.size()), h0, h1, uint8_t(pdu.size())};
    t.insert(t.end(), address.begin(), address.end());
    t.insert(t.end(), pdu.begin(), pdu.end());
    return t;
}

// Every kind the decoder tells apart: whole-byte commands, messages of every queue with every
// address form and PDU class (responses too, and some that do not fit), layer-2 packets, and
// an extended length.
std::vector<Bytes> Kinds() {
    std::vector<Bytes> kinds;
    for (int c : {0x00, 0x30, 0x31, 0x40, 0x50, 0x51, 0x52, 0x53, 0x60, 0x70, 0x80, 0x90,
                  0xA0, 0xB0, 0xC0, 0xC1, 0xD0, 0xD1, 0xE0, 0xE5, 0xE6, 0xE8, 0xF7})
        kinds.push_back({uint8_t(c), 1, uint8_t(c ^ 0x5A)});
    // clang-format off
    const std::vector<Bytes> addresses = {
        Bytes(11, 0), {127, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0x83, 0x85, 0x21, 4, 9, 0, 0, 0, 0, 0, 0},
        {1, 0x8C, 0, 0, 1, 0, 0, 0, 0, 0, 0}, {2, 0, 0, 0, 3, 1, 2, 3, 4, 5, 6},
        {3, 0x85, 0, 0x20, 0, 0, 0, 0, 0, 0, 0}, {0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {0x41, 1, 0x85, 7, 0, 0, 0, 0, 0, 0, 0}, {0x82, 1, 2, 3, 4, 0, 0, 0, 0, 0, 0},
        {0x03, 1, 2, 3, 1, 2, 3, 4, 5, 6, 0}, {0x45, 1, 2, 3, 4, 9, 0x45, 0, 0, 0, 0}};
    const std::vector<Bytes> pdus = {
        {0x81, 0x23, 1, 2}, {0xC1, 0x23}, {0x6D, 1, 0, 0, 6}, {0x6E, 1, 0, 0, 2, 0, 0xAA, 0xBB},
        {0x70}, {0x74, 9}, {0x51}, {0x55, 1}, {0x4A, 1}, {0x05, 1, 2}, {0x2D, 1, 2, 3, 4, 5, 6},
        {0x0D}, {0x31, 7}, {0x11}, {0x3F}, {0x80}, {0x6E, 1, 0}};
    // clang-format on
    const Bytes commands = {0x12, 0x13, 0x14, 0x15, 0x16, 0x18, 0x22, 0x23, 0x17};
    for (size_t i = 0; i < 3 * commands.size() * pdus.size(); ++i) {
        const Bytes address = i % 7 == 0 ? Bytes{} : addresses[i / 3 % addresses.size()];
        kinds.push_back(Message(commands[i % commands.size()], uint8_t(i * 37),
                                uint8_t(i / 2 * 0x11), address, pdus[i % pdus.size()]));
    }
    const std::vector<Bytes> lpdus = {
        {0x01, 0x39, 0x01, 0x8C, 0x01, 0x05, 0x2A, 0x80, 0x23, 1, 2},
        {0x80, 0x34, 1, 12, 7, 0x6D, 1, 0, 0, 6},
        {0x45, 0x00, 2, 3, 0, 0x25},
        {0x00, 0x1F, 1, 2, 3, 1, 2, 3, 4, 5, 6, 9, 8, 7, 6, 5, 4, 0x31}};
    for (uint8_t command : {0x1A, 0x1B, 0x1C}) {
        for (const Bytes& lpdu : lpdus) {
            Bytes t = {command, uint8_t(lpdu.size() + 2)};
            t.insert(t.end(), lpdu.begin(), lpdu.end());
            t.insert(t.end(), {0xCA, 0xFE});
            kinds.push_back(t);
        }
    }
    kinds.insert(kinds.end(), {{0x12, 2, 0, 1}, {0x12, 5, 0, 0, 9, 1, 2}});
    Bytes extended = Message(0x18, 0x21, 0, addresses[8], Bytes(239, 0x5A));
    extended[1] = 0xFF;
    extended.insert(extended.begin() + 2, {0x00, 0xFD});
    kinds.push_back(extended);
    return kinds;
}

Bytes Sample(uint8_t tag, uint32_t number) {
    static const std::vector<Bytes> kinds = Kinds();
    return kinds[(number + tag) % kinds.size()];
}

const char* const FIELDS[] = {"frame.time_epoch",  "veltrabox.direction", "veltrabox.record",
                              "veltrabox.lost",    "veltrabox.telegram",  "veltrabox.command_name",
                              "veltrabox.address", "veltrabox.selector",  "veltrabox.code",
                              "veltrabox.data",    "veltrabox.misfit",    "lon.srcnet",
                              "lon.srcnode",       "lon.nv.selector"};

std::string HexDigits(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += char(std::tolower(c));
    return digits;
}

// One record as tshark shows it against the telegram that was sent and the decoder behind
// veltraclient -D: "" when they agree.
std::string Disagreement(const std::vector<std::string>& c, const Bytes& sent) {
    auto number = [](const std::string& s) {
        return s.empty() ? s : std::to_string(std::stoul(s, nullptr, 0));
    };
    if (HexDigits(c[4]) != HexDigits(lonmsg::Hex(sent))) return "telegram " + c[4];
    lonmsg::TelegramFields ours;
    const std::string line = lonmsg::DescribeTelegram(sent, &ours);
    const bool layer2 = sent[0] >= 0x1A && sent[0] <= 0x1C;
    std::vector<std::pair<std::string, std::string>> pairs = {
        {c[5], ours.Command},
        {number(c[layer2 ? 13 : 7]), ours.Selector ? std::to_string(*ours.Selector) : ""}};
    if (layer2) {
        lonmsg::Lpdu lpdu;
        lonmsg::ParseLpdu(lonmsg::ByteView(sent).subspan(2, sent.size() - 4), &lpdu);
        pairs.push_back({number(c[11]), std::to_string(lpdu.srcSubnet)});
        pairs.push_back({number(c[12]), std::to_string(lpdu.srcNode)});
    } else {
        pairs.push_back({c[6], ours.Address});
        pairs.push_back({number(c[8]), ours.Code ? std::to_string(*ours.Code) : ""});
        pairs.push_back({HexDigits(c[9]), HexDigits(lonmsg::Hex(ours.Data))});
        pairs.push_back({c[10].empty() ? "fits" : "misfit",
                         line.find("[!") == std::string::npos ? "fits" : "misfit"});
    }
    for (const auto& [theirs, mine] : pairs)
        if (theirs != mine) return "tshark '" + theirs + "', ours '" + mine + "': " + line;
    return "";
}

// tshark reads the capture port live while 10,000 telegrams of every kind pass each way:
// every record arrives, numbered without a gap, with its direction and rising times, and
// decodes as our own decoder does.
TEST(Capture, TsharkReadsEveryTelegramLiveAndDecodesItAsWeDo) {
    SKIP_IF_MISSING(std::system("command -v tshark >/dev/null 2>&1") != 0
                        ? "tshark is missing (Debian package tshark, installed by scripts/setup.sh)"
                        : "");
    constexpr uint32_t EACH_WAY = 10000;
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort(), capturePort = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path()}, {}, LOG_ZONES,
                         CaptureSettings(port, capturePort));
    std::string command = "tshark -X lua_script:" VELTRABOX_SOURCE_DIR
                          "/dissector/veltrabox.lua"
                          " -i TCP@127.0.0.1:" +
                          std::to_string(capturePort) + " -c " + std::to_string(2 * EACH_WAY) +
                          " -T fields -E separator=/t -E occurrence=f";
    for (const char* field : FIELDS) command += std::string(" -e ") + field;
    auto shown =
        std::async(std::launch::async, [&] { return RunCommand(command + " 2>/dev/null"); });
    ASSERT_TRUE(server.WaitForLine(ATTACHED)) << server.Tail();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server.WaitForLine(STARTED)) << server.Tail();
    auto toBus = std::async(std::launch::async, [&] {
        return RunFlow([&](const Bytes& t) { return client.SendData(t); },
                       [&] { return lon.Read(); }, 1, EACH_WAY, 64, Sample);
    });
    EXPECT_EQ(RunFlow([&](const Bytes& t) { return lon.Write(t); },
                      [&] { return client.ReceiveData(); }, 0, EACH_WAY, 64, Sample),
              "");
    EXPECT_EQ(toBus.get(), "");
    auto [output, status] = shown.get();
    ASSERT_EQ(status, 0) << output;

    std::istringstream lines(output);
    uint32_t seen[2] = {}, records = 0, firstRecord = 0;
    double lastTime = 0;
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> c;
        std::istringstream split(line);
        for (std::string column; std::getline(split, column, '\t');) c.push_back(column);
        c.resize(std::size(FIELDS));
        const uint32_t way = std::stoul(c[1]);
        ASSERT_LT(way, 2u) << line;
        if (records == 0) firstRecord = std::stoul(c[2]);
        ASSERT_EQ(std::stoul(c[2]), firstRecord + records) << line;
        ASSERT_EQ(c[3], "") << line;
        ASSERT_GE(std::stod(c[0]), lastTime) << line;
        lastTime = std::stod(c[0]);
        ASSERT_EQ(Disagreement(c, Sample(uint8_t(way), seen[way]++)), "") << "record " << records;
        ++records;
    }
    EXPECT_EQ(seen[0], EACH_WAY);
    EXPECT_EQ(seen[1], EACH_WAY);
}

// A reader outside AllowFrom is refused; one that stops reading is dropped while the served
// client gets every telegram of a flood.
TEST(Capture, AReaderOutsideAllowFromIsRefusedAndOneThatStopsIsDropped) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int port = FreePort(), capturePort = FreePort();
    ServerProcess server({"-p", std::to_string(port), "-d", lon.Path()}, {}, LOG_ZONES,
                         CaptureSettings(port, capturePort, "\"AllowFrom\"=\"127.0.0.1\"\n"));
    TestClient outsider, stalled;
    ASSERT_TRUE(outsider.Connect(capturePort, WAIT, "127.0.0.1", "127.0.0.2"));
    EXPECT_TRUE(outsider.WaitClosed());
    size_t mark = 0;
    ASSERT_TRUE(server.WaitForLine("refused, not in AllowFrom", &mark)) << server.Tail();
    stalled.ShrinkReceiveBuffer();
    ASSERT_TRUE(stalled.Connect(capturePort));
    ASSERT_TRUE(server.WaitForLine(ATTACHED, &mark)) << server.Tail();
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    ASSERT_TRUE(server.WaitForLine(STARTED, &mark)) << server.Tail();
    constexpr uint32_t FLOOD = 16000;  // 4 MB: many times what the reader's queue holds
    auto longest = [](uint8_t tag, uint32_t number) {
        Bytes telegram(257, uint8_t(number));
        telegram[0] = tag;
        telegram[1] = 255;
        return telegram;
    };
    EXPECT_EQ(RunFlow([&](const Bytes& t) { return lon.Write(t); },
                      [&] { return client.ReceiveData(); }, 0xD4, FLOOD, 64, longest),
              "")
        << server.Tail();
    EXPECT_TRUE(stalled.WaitClosed()) << server.Tail();
    EXPECT_TRUE(server.WaitForLine("dropped: it fell behind", &mark)) << server.Tail();
    nlohmann::json state = StatusByPort(server)[port];
    EXPECT_EQ(state["capture_readers"], 0) << state;
    EXPECT_EQ(state["capture_dropped"], 1) << state;
    EXPECT_EQ(state["refused_clients"], 1) << state;
    EXPECT_EQ(state["to_client"], FLOOD) << state;
}

}  // namespace
}  // namespace e2e
