// The client's telegram decoder: one readable line per telegram, from the hex of the telegram.
#include "lonmsg/decode.h"

#include <gtest/gtest.h>

#include "tools/veltraclient/ipmsg.h"

namespace {

struct Case {
    const char* hex;
    const char* line;
};

void ExpectLines(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        ipmsg::Bytes bytes;
        ASSERT_TRUE(ipmsg::ParseHex(c.hex, &bytes)) << c.hex;
        EXPECT_EQ(lonmsg::DescribeTelegram(bytes), c.line) << c.hex;
    }
}

// Eleven address bytes of zero, as network management messages often carry.
#define ZEROS "00 00 00 00 00 00 00 00 00 00 00 "

TEST(Decode, TheWorkedExamples) {
    ExpectLines({
        {"22 13 70 00 05 " ZEROS "6D 01 00 00 06",
         "niNETMGMT|niTQ tag 0 REQUEST auth; to its own node; "
         "ReadMemory mode 1 address 0x0000 count 6"},
        {"16 15 70 01 07 " ZEROS "2D 00 11 22 33 44 55",
         "niCOMM|niRESPONSE tag 0 REQUEST auth response; from 0/0 to 0/0 for group 0 member 0, "
         "domain 0; ReadMemory success data 00 11 22 33 44 55"},
        {"22 13 74 00 05 " ZEROS "6D 02 00 0A 09",
         "niNETMGMT|niTQ tag 4 REQUEST auth; to its own node; "
         "ReadMemory mode 2 address 0x000A count 9"},
        {"22 11 75 00 03 " ZEROS "7D 01 01",
         "niNETMGMT|niTQ tag 5 REQUEST auth; to its own node; DeviceEscape data 01 01"},
        {"16 14 75 01 06 " ZEROS "3D 02 03 1F 00 1E",
         "niCOMM|niRESPONSE tag 5 REQUEST auth response; from 0/0 to 0/0 for group 0 member 0, "
         "domain 0; DeviceEscape success data 02 03 1F 00 1E"},
        {"22 0F 6F 08 01 " ZEROS "51",
         "niNETMGMT|niTQ tag 15 REQUEST address mode; to its own node; QueryStatus"},
        {"22 1A 71 08 0C 7F 00 00 00 00 00 00 00 00 00 00 6E 01 00 00 06 00 80 00 0C 3D 5E 01",
         "niNETMGMT|niTQ tag 1 REQUEST auth address mode; to its own node; "
         "WriteMemory mode 1 address 0x0000 count 6 form 0x00 data 80 00 0C 3D 5E 01"},
        {"1A 0D 01 39 01 8C 01 05 2A 80 23 01 02 5A A5",
         "layer-2 packet: backlog 1; APDU from 1/12 to 1/5, domain 2A; "
         "NV update selector 0x0023 value 01 02; CRC 5A A5"},
    });
}

TEST(Decode, EveryAddressForm) {
    ExpectLines({
        // To the network (niCOMM, transaction queues), by A0.
        {"12 0F 00 00 01 " ZEROS "01",
         "niCOMM|niTQ tag 0 ACKD; unassigned; application message 0x01"},
        {"13 0F 21 00 01 7F 00 00 00 00 00 00 00 00 00 00 01",
         "niCOMM|niTQ_P tag 1 UNACKD_RPT; to the local interface; application message 0x01"},
        {"14 0F 02 00 01 84 83 52 01 07 00 00 00 00 00 00 01",
         "niCOMM|niNTQ tag 2 ACKD; to group 7 member 3 of 4, domain 1, retry 2, repeat timer 5, "
         "transmit timer 1; application message 0x01"},
        {"15 0F 43 00 01 01 0C 00 00 03 00 00 00 00 00 00 01",
         "niCOMM|niNTQ_P tag 3 UNACKD; to 3/12, domain 0; application message 0x01"},
        {"12 0F 04 00 01 02 00 00 00 02 01 02 03 04 05 06 01",
         "niCOMM|niTQ tag 4 ACKD; to Neuron ID 01 02 03 04 05 06 in subnet 2; "
         "application message 0x01"},
        {"12 0F 04 00 01 02 00 00 00 00 01 02 03 04 05 06 01",
         "niCOMM|niTQ tag 4 ACKD; to Neuron ID 01 02 03 04 05 06 through every router; "
         "application message 0x01"},
        {"12 0F 05 00 01 03 85 00 30 09 00 00 00 00 00 00 01",
         "niCOMM|niTQ tag 5 ACKD; broadcast to subnet 9, domain 1, backlog 5, at most 3 "
         "responses; application message 0x01"},
        {"12 0F 05 00 01 03 05 00 00 00 00 00 00 00 00 00 01",
         "niCOMM|niTQ tag 5 ACKD; broadcast to the whole domain, domain 0, backlog 5, at most 0 "
         "responses; application message 0x01"},
        {"12 0F 05 00 01 04 00 00 00 00 00 00 00 00 00 00 01",
         "niCOMM|niTQ tag 5 ACKD; address type 0x04 unknown; application message 0x01"},
        // From the network (niINCOMING), by R0's format.
        {"18 0F 00 00 01 80 01 8C 00 00 00 00 00 00 00 00 01",
         "niCOMM|niINCOMING tag 0 ACKD; from 1/12 broadcast to the domain, domain 1; "
         "application message 0x01"},
        {"18 0F 00 00 01 40 01 0C 04 00 00 00 00 00 00 00 01",
         "niCOMM|niINCOMING tag 0 ACKD; from 1/12 broadcast to subnet 4, domain 0 (flex); "
         "application message 0x01"},
        {"18 0F 00 00 01 01 01 0C 07 00 00 00 00 00 00 00 01",
         "niCOMM|niINCOMING tag 0 ACKD; from 1/12 to group 7, domain 0; application message 0x01"},
        {"18 0F 00 00 01 02 01 0C 02 05 00 00 00 00 00 00 01",
         "niCOMM|niINCOMING tag 0 ACKD; from 1/12 to 2/5, domain 0; application message 0x01"},
        {"18 0F 00 00 01 03 01 0C 02 0A 0B 0C 0D 0E 0F 00 01",
         "niCOMM|niINCOMING tag 0 ACKD; from 1/12 to Neuron ID 0A 0B 0C 0D 0E 0F in subnet 2, "
         "domain 0; application message 0x01"},
        {"18 0F 00 00 01 04 01 0C 00 00 00 00 00 00 00 00 01",
         "niCOMM|niINCOMING tag 0 ACKD; from 1/12, address format 4 unknown; "
         "application message 0x01"},
        // Responses: to a subnet/node request (R2 bit 7), to a group request.
        {"16 0F 60 01 01 80 01 8C 02 05 00 00 00 00 00 00 2D",
         "niCOMM|niRESPONSE tag 0 REQUEST response; from 1/12 to 2/5, domain 1; "
         "ReadMemory success"},
        {"16 0F 60 01 01 00 01 0C 02 05 07 43 00 00 00 00 0D",
         "niCOMM|niRESPONSE tag 0 REQUEST response; from 1/12 to 2/5 for group 7 member 3, "
         "domain 0; ReadMemory failure"},
        // A completion event; a message without an address.
        {"16 0F 00 10 01 01 0C 00 00 03 00 00 00 00 00 00 01",
         "niCOMM|niRESPONSE tag 0 ACKD success; completion event; application message 0x01"},
        {"12 04 00 00 01 01", "niCOMM|niTQ tag 0 ACKD; no address; application message 0x01"},
    });
}

TEST(Decode, EveryPduClassAndHeaderField) {
    ExpectLines({
        {"12 05 00 00 02 83 45",
         "niCOMM|niTQ tag 0 ACKD; no address; NV update selector 0x0345 no value"},
        {"12 07 00 00 04 BF FF 01 02",
         "niCOMM|niTQ tag 0 ACKD; no address; NV update selector 0x3FFF value 01 02"},
        {"12 05 60 00 02 C1 02", "niCOMM|niTQ tag 0 REQUEST; no address; NV poll selector 0x0102"},
        {"12 05 60 00 02 6C 03", "niCOMM|niTQ tag 0 REQUEST; no address; SetNodeMode data 03"},
        {"12 04 60 00 01 7A", "niCOMM|niTQ tag 0 REQUEST; no address; management 0x7A"},
        {"12 04 60 00 01 56", "niCOMM|niTQ tag 0 REQUEST; no address; QueryStatusFlex"},
        {"12 04 60 00 01 55", "niCOMM|niTQ tag 0 REQUEST; no address; diagnostics 0x55"},
        {"12 05 40 00 02 4E 09",
         "niCOMM|niTQ tag 0 UNACKD; no address; foreign frame 0x4E data 09"},
        {"12 05 60 00 02 31 09",
         "niCOMM|niTQ tag 0 REQUEST; no address; application message 0x31 data 09"},
        // Response codes name every request they may answer.
        {"16 04 60 01 01 31",
         "niCOMM|niRESPONSE tag 0 REQUEST response; no address; "
         "MemoryRefresh success / QueryStatus success"},
        {"16 04 60 01 01 11",
         "niCOMM|niRESPONSE tag 0 REQUEST response; no address; "
         "MemoryRefresh failure / QueryStatus failure"},
        {"16 04 60 01 01 34",
         "niCOMM|niRESPONSE tag 0 REQUEST response; no address; QueryXcvr success"},
        {"16 04 60 01 01 35",
         "niCOMM|niRESPONSE tag 0 REQUEST response; no address; response 0x35"},
        {"16 05 60 01 02 81 00",
         "niCOMM|niRESPONSE tag 0 REQUEST response; no address; NV update selector 0x0100 no "
         "value"},
        // Every flag of H0 and H1; completion codes.
        {"12 03 9F FE 00",
         "niCOMM|niTQ tag 15 ACKD auth interface NV pool alt path address mode path priority "
         "completion 3; no address; no PDU"},
        {"12 03 00 20 00", "niCOMM|niTQ tag 0 ACKD failure; no address; no PDU"},
    });
}

TEST(Decode, EveryWholeByteCommand) {
    ExpectLines({
        {"00 00", "null"},
        {"30 00", "time-out / error"},
        {"31 00", "CRC error"},
        {"40 00", "0x40: CRC / powerline phase mode"},
        {"50 00", "reset"},
        {"51 00", "initiate"},
        {"52 00", "challenge"},
        {"53 00", "reply"},
        {"60 00", "flush-cancel (down) / flush complete (up)"},
        {"70 00", "online"},
        {"80 00", "offline"},
        {"90 00", "flush"},
        {"A0 00", "flush, ignore comm"},
        {"B0 00", "sleep"},
        {"C0 00", "ack"},
        {"C1 00", "nack"},
        {"D0 00", "mode layer 5"},
        {"D1 00", "mode layer 2"},
        {"E0 02 01 02", "status, data 01 02"},
        {"E5 00", "0xE5: IRQ enable / layer mode"},
        {"E6 00", "service pin"},
        {"E8 00", "transmit ID"},
        {"F7 01 05", "command 0xF7, data 05"},
    });
}

TEST(Decode, LayerTwoForms) {
    ExpectLines({
        {"1B 07 C5 00 01 0C 00 EE EE",
         "layer-2 mode 1 packet: priority alt path backlog 5; TPDU from 1/12 broadcast to the "
         "domain, no domain; [! ends before the PDU header]; CRC EE EE"},
        {"1C 0A 00 15 01 8C 09 07 F3 01 EE EE",
         "layer-2 mode 2 packet: backlog 0; SPDU from 1/12 to group 9, domain 07; auth type 7 "
         "transaction 3 data 01; CRC EE EE"},
        {"1A 0E 00 2A 01 0C 02 05 03 01 01 02 03 25 EE EE",
         "layer-2 packet: backlog 0; AuthPDU from 1/12 to 2/5, acknowledging group 3 member 1, "
         "domain 01 02 03; type 2 transaction 5; CRC EE EE"},
        {"1A 14 00 3F 01 0C 02 0A 0B 0C 0D 0E 0F 01 02 03 04 05 06 6D EE EE",
         "layer-2 packet: backlog 0; APDU from 1/12 to Neuron ID 0A 0B 0C 0D 0E 0F in subnet 2, "
         "domain 01 02 03 04 05 06; ReadMemory [! ends inside its fields]; CRC EE EE"},
    });
}

TEST(Decode, MarksWhatDoesNotFit) {
    ExpectLines({
        {"", "[! empty]"},
        {"70", "online [! no length byte]"},
        {"12", "niCOMM [! no length byte]"},
        {"12 02 00 00", "niCOMM|niTQ [! ends inside the header]"},
        {"17 03 00 00 00", "niCOMM queue 0x7 [! queue unknown, not decoded]"},
        {"12 05 00 00 01 01 02",
         "niCOMM|niTQ tag 0 ACKD [! length 5 is neither 3 nor 14 + PDU length 1]"},
        {"12 0F 00 00 01 01 0C",
         "niCOMM|niTQ tag 0 ACKD [! ends inside the address] [! 10 of 15 bytes missing]"},
        {"12 09 00 00 06 6D 01 00 00 06 07",
         "niCOMM|niTQ tag 0 ACKD; no address; ReadMemory mode 1 address 0x0000 count 6 "
         "[! 1 byte after the count]"},
        {"12 0A 00 00 07 6E 01 00 10 02 00 AA",
         "niCOMM|niTQ tag 0 ACKD; no address; WriteMemory mode 1 address 0x0010 count 2 form "
         "0x00 data AA [! the data is 1 byte]"},
        {"12 05 00 00 02 C1",
         "niCOMM|niTQ tag 0 ACKD; no address; NV poll [! ends inside the selector] [! 1 of 5 bytes "
         "missing]"},
        {"50 00 01", "reset [! 1 byte beyond the length]"},
        {"50 02 01", "reset, data 01 [! 1 of 2 bytes missing]"},
        {"1A 04 01 39 01 8C",
         "layer-2 packet: backlog 1; APDU [! ends inside the addresses]; CRC 01 8C"},
        {"1A 06 01 79 01 8C EE EE",
         "layer-2 packet: backlog 1; APDU [! NPDU version 1]; CRC EE EE"},
        {"1A 08 01 3B 01 8C 01 05 EE EE",
         "layer-2 packet: backlog 1; APDU [! ends inside the domain]; CRC EE EE"},
        {"1A 03 01 EE EE", "layer-2 packet: LPDU [! ends inside the header]; CRC EE EE"},
        {"1A 01 01", "layer-2 packet: LPDU [! no room for the CRC]"},
        {"1A 08 01 39", "layer-2 packet [! 6 of 8 bytes missing]"},
        // An extended length, little- or big-endian, whichever matches what came.
        {"E0 FF 02 00 0A 0B", "status, data 0A 0B"},
        {"E0 FF 00 02 0A 0B", "status, data 0A 0B"},
        {"E0 FF 00 03 0A 0B", "status [! extended length fits neither byte order]"},
        {"E0 FF 00", "status [! ends inside the extended length]"},
    });
}

// The parts that the server's MQTT telegrams carry, picked out of the same decoding.
TEST(Decode, FieldsPickedOut) {
    struct Case {
        const char* hex;
        const char* command;
        const char* address;
        int selector;  // -1: none
        int code;      // -1: none
        const char* data;
    };
    const Case cases[] = {
        {"12 12 00 00 04 01 0C 00 00 01 00 00 00 00 00 00 80 23 01 02", "niCOMM|niTQ",
         "to 1/12, domain 0", 0x23, -1, "01 02"},
        {"22 13 70 00 05 " ZEROS "6D 01 00 00 06", "niNETMGMT|niTQ", "to its own node", -1, 0x6D,
         "01 00 00 06"},
        {"16 15 70 01 07 " ZEROS "2D 00 11 22 33 44 55", "niCOMM|niRESPONSE",
         "from 0/0 to 0/0 for group 0 member 0, domain 0", -1, 0x2D, "00 11 22 33 44 55"},
        {"12 04 00 00 01 C1", "niCOMM|niTQ", "", -1, 0xC1, ""},
        {"1A 0D 01 39 01 8C 01 05 2A 80 23 01 02 5A A5", "layer-2 packet", "from 1/12 to 1/5", 0x23,
         -1, "01 02"},
        {"50 02 0A 0B", "reset", "", -1, -1, "0A 0B"},
    };
    for (const Case& c : cases) {
        ipmsg::Bytes bytes;
        ASSERT_TRUE(ipmsg::ParseHex(c.hex, &bytes)) << c.hex;
        lonmsg::TelegramFields fields;
        EXPECT_EQ(lonmsg::DescribeTelegram(bytes, &fields), lonmsg::DescribeTelegram(bytes));
        EXPECT_EQ(fields.Command, c.command) << c.hex;
        EXPECT_EQ(fields.Address, c.address) << c.hex;
        EXPECT_EQ(fields.Selector ? int{*fields.Selector} : -1, c.selector) << c.hex;
        EXPECT_EQ(fields.Code ? int{*fields.Code} : -1, c.code) << c.hex;
        EXPECT_EQ(lonmsg::Hex(fields.Data), c.data) << c.hex;
    }
}

}  // namespace
