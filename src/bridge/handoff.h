// A telegram's copies for those beside the served client (the monitors, the capture, the
// counters, MQTT) leave from here only, in that order, for both directions; the links never hand
// them out.
//
// They show what crossed the interface. From the bus a telegram is handed out as soon as it is
// read, before it goes to the client: the client cannot answer it before the monitors have
// it. Toward the bus the copies follow the write and are given only for the telegrams that the
// interface took whole, so a failed or short write is never shown, counted or published as
// sent. A reply from the bus could then be read while its request's copies are still on their
// way; so while anyone watches, a read's copies wait until the write in flight has handed out
// its own.
#pragma once

#include "instance/instance.h"
#include "platform/win.h"

enum HandOffWay { FROM_BUS, TO_BUS };

// When a telegram crossed the interface, for the capture: microseconds since the epoch, 0
// without a capture port.
int64_t CrossingTime(const ServerInstance* instance);
// Hands out the copies of one telegram that crossed the interface at `timeUs`.
void HandOffTelegram(ServerInstance* instance, HandOffWay way, const win::BYTE* telegram,
                     win::DWORD length, int64_t timeUs);
// The telegrams of one read, before they go to the client (the payloads of the batch).
struct IpMsgBatch;
void HandOffRead(ServerInstance* instance, const IpMsgBatch* batch);
// SendPacketsToLon, then the copies of the telegrams it wrote whole: the same result and *sent.
win::DWORD WriteToBus(ServerInstance* instance, const win::BYTE* telegrams,
                      const win::DWORD* lengths, win::DWORD count, win::DWORD* sent);
// The neuron-ID message that the open wrote, when the interface took it (NeuronIdTaken).
void HandOffNeuronIdMessage(ServerInstance* instance);
