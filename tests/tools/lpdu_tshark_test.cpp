// The layer-2 decoder against an independent one: Wireshark's LON dissector, run as tshark over a
// capture of generated LPDUs, each in a CN/IP data packet on UDP 1628. Every field that both
// decode must agree, for every packet.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "lonmsg/lpdu.h"
#include "support/missing.h"
#include "support/server_process.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t CNIP_PORT = 1628;
constexpr size_t CNIP_HEADER = 20;

void Put16(Bytes* out, unsigned value) {
    out->push_back(uint8_t(value >> 8));
    out->push_back(uint8_t(value));
}

void Put32(Bytes* out, uint32_t value) {
    Put16(out, value >> 16);
    Put16(out, value & 0xFFFF);
}

void PutLe32(Bytes* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back(uint8_t(value >> shift));
}

// Five address forms: broadcast, group, subnet/node (2a), group acknowledgement (2b), Neuron ID.
constexpr int ADDRESS_FORMS = 5;

// One LPDU of the given address form, PDU format and domain-length code; the rest is random.
// APDUs take their first byte from each code class in turn.
Bytes MakeLpdu(std::mt19937& random, int form, int pduFormat, int domainCode, int serial) {
    auto byte = [&] { return uint8_t(random()); };
    static const int addressFormats[ADDRESS_FORMS] = {0, 1, 2, 2, 3};
    static const size_t domainBytes[4] = {0, 1, 3, 6};
    Bytes lpdu = {byte(), uint8_t(pduFormat << 4 | addressFormats[form] << 2 | domainCode)};
    lpdu.push_back(byte());  // source subnet
    const uint8_t node = byte() & 0x7F;
    lpdu.push_back(form == 2 ? node | 0x80 : node);
    static const size_t destinationBytes[ADDRESS_FORMS] = {1, 1, 2, 4, 7};
    for (size_t i = 0; i < destinationBytes[form] + domainBytes[domainCode]; ++i) {
        lpdu.push_back(byte());
    }
    if (pduFormat == lonmsg::APDU) {
        // NV update, NV poll, management, diagnostics, foreign frame, application message.
        static const uint8_t firstCodes[6] = {0x80, 0xC0, 0x60, 0x50, 0x40, 0x00};
        static const uint8_t codeRanges[6] = {0x40, 0x40, 0x20, 0x10, 0x10, 0x40};
        const int kind = serial % 6;
        lpdu.push_back(uint8_t(firstCodes[kind] + random() % codeRanges[kind]));
        lpdu.push_back(byte());
    } else {
        lpdu.push_back(byte());  // authenticated, type, transaction number
    }
    for (size_t extra = random() % 4; extra > 0; --extra) lpdu.push_back(byte());
    return lpdu;
}

std::vector<Bytes> GenerateLpdus() {
    std::mt19937 random(14);
    std::vector<Bytes> lpdus;
    for (int round = 0; round < 7; ++round) {
        for (int form = 0; form < ADDRESS_FORMS; ++form) {
            for (int pduFormat = 0; pduFormat < 4; ++pduFormat) {
                for (int domainCode = 0; domainCode < 4; ++domainCode) {
                    lpdus.push_back(
                        MakeLpdu(random, form, pduFormat, domainCode, int(lpdus.size())));
                }
            }
        }
    }
    return lpdus;
}

// A pcap file of Ethernet frames: IPv4, UDP 1628 both ways, CN/IP data header, one LPDU each.
// The CN/IP sequence number is the packet's index.
Bytes Capture(const std::vector<Bytes>& lpdus) {
    Bytes file;
    PutLe32(&file, 0xA1B2C3D4);
    PutLe32(&file, 2 | 4 << 16);  // version 2.4
    PutLe32(&file, 0);            // time zone
    PutLe32(&file, 0);            // accuracy
    PutLe32(&file, 65535);        // snap length
    PutLe32(&file, 1);            // Ethernet
    for (uint32_t index = 0; index < lpdus.size(); ++index) {
        const Bytes& lpdu = lpdus[index];
        Bytes cnip;
        Put16(&cnip, unsigned(CNIP_HEADER + lpdu.size()));
        cnip.insert(cnip.end(), {1, 0x01, 0, 0});  // version, data packet, no extension, LON
        Put16(&cnip, 0);                           // vendor code
        Put32(&cnip, 0);                           // session
        Put32(&cnip, index);                       // sequence number
        Put32(&cnip, 0);                           // time stamp
        cnip.insert(cnip.end(), lpdu.begin(), lpdu.end());
        Bytes frame(12, 0);  // MAC addresses
        Put16(&frame, 0x0800);
        frame.insert(frame.end(), {0x45, 0});
        Put16(&frame, unsigned(20 + 8 + cnip.size()));
        frame.insert(frame.end(), {0, 0, 0, 0, 64, 17, 0, 0, 127, 0, 0, 1, 127, 0, 0, 1});
        Put16(&frame, CNIP_PORT);
        Put16(&frame, CNIP_PORT);
        Put16(&frame, unsigned(8 + cnip.size()));
        Put16(&frame, 0);  // no checksum
        frame.insert(frame.end(), cnip.begin(), cnip.end());
        PutLe32(&file, index);  // seconds
        PutLe32(&file, 0);
        PutLe32(&file, uint32_t(frame.size()));
        PutLe32(&file, uint32_t(frame.size()));
        file.insert(file.end(), frame.begin(), frame.end());
    }
    return file;
}

using Fields = std::map<std::string, std::string>;

std::string HexLower(lonmsg::ByteView bytes) {
    std::string text;
    char digits[3];
    for (uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

// Our decoding of one LPDU, under tshark's field names, numbers in decimal.
Fields Ours(const lonmsg::Lpdu& lpdu) {
    Fields f;
    auto number = [&](const char* name, unsigned value) { f[name] = std::to_string(value); };
    number("lon.prio", lpdu.priority);
    number("lon.alt_path", lpdu.altPath);
    number("lon.delta_bl", lpdu.deltaBacklog);
    number("lon.vers", lpdu.version);
    number("lon.pdufmt", lpdu.pduFormat);
    number("lon.addrfmt", lpdu.addressFormat);
    number("lon.domainlen", lpdu.domainLength == 6   ? 3
                            : lpdu.domainLength == 3 ? 2
                                                     : lpdu.domainLength);
    number("lon.srcnet", lpdu.srcSubnet);
    number("lon.srcnode", lpdu.srcNode);
    // tshark labels the destination subnet of a group acknowledgement "destination group".
    if (lpdu.dstSubnet) number(lpdu.groupAck ? "lon.dstgrp" : "lon.dstnet", *lpdu.dstSubnet);
    if (lpdu.dstNode) number("lon.dstnode", *lpdu.dstNode);
    if (lpdu.group) number(lpdu.groupAck ? "lon.grp" : "lon.dstgrp", *lpdu.group);
    if (lpdu.member) number("lon.grpmem", *lpdu.member);
    if (!lpdu.neuronId.empty()) f["lon.uid"] = HexLower(lpdu.neuronId);
    f["lon.domain"] = HexLower(lpdu.domain);
    if (lpdu.pdu.empty()) return f;
    const uint8_t first = lpdu.pdu[0];
    if (lpdu.pduFormat == lonmsg::APDU) {
        switch (lonmsg::ClassOf(first)) {
            case lonmsg::ApduClass::NvUpdate:
            case lonmsg::ApduClass::NvPoll:
                if (lpdu.pdu.size() < 2) break;
                number("lon.nv.dir", first >> 6 & 1);
                number("lon.nv.selector", lonmsg::NvSelector(first, lpdu.pdu[1]));
                break;
            case lonmsg::ApduClass::Management:
                number("lon.nm", first);
                break;
            case lonmsg::ApduClass::Diagnostics:
                number("lon.nd", first);
                break;
            case lonmsg::ApduClass::ForeignFrame:
                number("lon.ff", first);
                break;
            case lonmsg::ApduClass::Application:
                number("lon.application", first);
                break;
        }
        return f;
    }
    number("lon.trans_no", first & 0x0F);
    if (lpdu.pduFormat == lonmsg::AUTHPDU) return f;
    number(lpdu.pduFormat == lonmsg::TPDU ? "lon.tpdu_type" : "lon.spdu_type", first >> 4 & 0x07);
    number("lon.auth", first >> 7);
    return f;
}

const char* const FIELD_NAMES[] = {
    "lon.prio",    "lon.alt_path",    "lon.delta_bl",    "lon.vers",      "lon.pdufmt",
    "lon.addrfmt", "lon.domainlen",   "lon.srcnet",      "lon.srcnode",   "lon.dstnet",
    "lon.dstnode", "lon.dstgrp",      "lon.grp",         "lon.grpmem",    "lon.uid",
    "lon.domain",  "lon.nv.dir",      "lon.nv.selector", "lon.nm",        "lon.nd",
    "lon.ff",      "lon.application", "lon.trans_no",    "lon.tpdu_type", "lon.spdu_type",
    "lon.auth"};

// Fields that one side may show without the other: tshark leaves out an empty domain; it reads
// the AuthPDU header byte differently (no authenticated bit; its type field shows bit 1 while its
// own warning takes the type from bits 4-5, so lon.authpdu_type is not compared at all); and it
// decodes an APDU behind a TPDU or SPDU header, where we show bytes.
bool MayBeOneSided(const std::string& name, const lonmsg::Lpdu& lpdu) {
    static const std::set<std::string> apduFields = {
        "lon.nv.dir", "lon.nv.selector", "lon.nm", "lon.nd", "lon.ff", "lon.application"};
    return name == "lon.domain" || name == "lon.auth" ||
           (lpdu.pduFormat != lonmsg::APDU && apduFields.count(name));
}

// tshark's value in our notation: numbers ("0x0c", "1") in decimal, bytes in lower-case hex.
std::string Normalised(const std::string& name, const std::string& value) {
    if (value.empty() || value == "<MISSING>") return "";
    if (name == "lon.uid" || name == "lon.domain") return value;
    return std::to_string(std::strtoul(value.c_str(), nullptr, 0));
}

}  // namespace

TEST(LayerTwoAgainstTshark, EveryFieldBothDecodeAgreesForEveryPacket) {
    SKIP_IF_MISSING(std::system("command -v tshark >/dev/null 2>&1") != 0
                        ? "tshark is missing (Debian package tshark, installed by scripts/setup.sh)"
                        : "");
    const std::vector<Bytes> lpdus = GenerateLpdus();
    ASSERT_GE(lpdus.size(), 500u);

    char path[] = "/tmp/veltrabox-lpdu-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    Bytes file = Capture(lpdus);
    ASSERT_EQ(write(fd, file.data(), file.size()), ssize_t(file.size()));
    close(fd);
    // The first occurrence of each field. Standard error goes aside: tshark run as root warns
    // there (and runs), and says there why it did not.
    std::string command = std::string("tshark -r ") + path +
                          " -T fields -E separator=/t -E occurrence=f -e cnip.seqno";
    for (const char* name : FIELD_NAMES) command += std::string(" -e ") + name;
    const std::string errors = std::string(path) + ".err";
    auto [output, status] = e2e::RunCommand(command + " 2>" + errors);
    std::ifstream errorFile(errors);
    const std::string errorText((std::istreambuf_iterator<char>(errorFile)),
                                std::istreambuf_iterator<char>());
    unlink(path);
    unlink(errors.c_str());
    ASSERT_EQ(status, 0) << errorText;

    std::istringstream lines(output);
    std::string line;
    std::map<std::string, int> compared;
    size_t packets = 0;
    while (std::getline(lines, line)) {
        std::vector<std::string> columns;
        std::istringstream split(line);
        for (std::string column; std::getline(split, column, '\t');) columns.push_back(column);
        columns.resize(1 + std::size(FIELD_NAMES));
        const size_t index = std::strtoul(columns[0].c_str(), nullptr, 10);
        ASSERT_LT(index, lpdus.size()) << line;
        ++packets;
        lonmsg::Lpdu lpdu;
        ASSERT_EQ(lonmsg::ParseLpdu(lpdus[index], &lpdu), "") << index;
        const Fields ours = Ours(lpdu);
        for (size_t i = 0; i < std::size(FIELD_NAMES); ++i) {
            const std::string name = FIELD_NAMES[i];
            const std::string theirs = Normalised(name, columns[1 + i]);
            auto mine = ours.find(name);
            if (!MayBeOneSided(name, lpdu)) {
                EXPECT_EQ(theirs.empty(), mine == ours.end())
                    << name << " of packet " << index
                    << " decoded by one side only: " << lonmsg::DescribeLpdu(lpdu);
            }
            if (theirs.empty() || mine == ours.end()) continue;
            EXPECT_EQ(mine->second, theirs)
                << name << " of packet " << index << ": " << lonmsg::DescribeLpdu(lpdu);
            ++compared[name];
        }
    }
    EXPECT_EQ(packets, lpdus.size());
    std::string counts;
    for (const char* name : FIELD_NAMES) {
        EXPECT_GT(compared[name], 0) << name << " was never compared";
        counts += std::string(" ") + name + "=" + std::to_string(compared[name]);
    }
    std::printf("fields compared:%s\n", counts.c_str());
}
