// The server side of the TCP tests: a server start in another thread, and an instance with one
// connected client.
#pragma once

#include <cstdint>
#include <future>
#include <memory>

#include "instance/instance.h"
#include "support/test_client.h"
#include "support/thread_state.h"

using ipmsg::Bytes;

Bytes Concat(std::initializer_list<Bytes> parts);

// Sends `length` payload bytes as the batch of one ID_DATA message: SendPacketsToTcp's result,
// or AddPacketToBatch's when that refuses it.
win::DWORD SendOneMessage(ServerInstance* instance, const uint8_t* payload, win::DWORD length);

std::future<win::DWORD> StartServerAsync(ServerInstance* instance);
// Connects while the server start runs; false if the start ended without a client.
bool ConnectDuringStart(e2e::TestClient& client, uint16_t port, std::future<win::DWORD>& start);

// An instance with one accepted client; its sockets are closed with it.
struct Link {
    std::unique_ptr<ServerInstance> instance = std::make_unique<ServerInstance>();
    e2e::TestClient client;
    ~Link();
};
// Starts the server on `port`, connects the client and waits for the start to return 0.
void OpenLink(Link& link, uint16_t port);

// Closes the instance's sockets (the listening one too) when the scope ends, so that a failed
// assertion never leaves a helper thread blocked (declare it after the futures it must release).
struct CloseTcpOnExit {
    ServerInstance* instance;
    ~CloseTcpOnExit();
};
