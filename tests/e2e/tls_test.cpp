// stunnel in front of the real server, with the project's own stunnel configuration: a client
// whose certificate the trusted CA signed passes telegrams both ways; a client without a
// certificate, or with one of another CA, never reaches the server.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>

#include "flow.h"
#include "support/missing.h"
#include "support/pty_lon.h"
#include "support/server_process.h"
#include "support/test_client.h"

namespace e2e {
namespace {

constexpr char SHIPPED_CONFIG[] = VELTRABOX_SOURCE_DIR "/config/stunnel.conf";

// Throwaway certificates: a CA that signs the server's and one client's, and a client that
// signed its own. The server's names 127.0.0.1, so that the clients can check it.
constexpr char MAKE_CERTIFICATES[] = R"(set -e
key() { name=$1; shift; openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes \
          -subj "/CN=$name" -keyout "$name.key" "$@"; }
sign() { name=$1; shift; openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key \
           -CAcreateserial -days 2 -out "$name.pem" "$@"; }
key ca -x509 -days 2 -out ca.pem
key server -out server.csr
echo "subjectAltName=IP:127.0.0.1" >server.ext
sign server -extfile server.ext
key client -out client.csr
sign client
key stranger -x509 -days 2 -out stranger.pem
)";

bool Installed(const char* program) {
    return RunCommand(std::string("command -v ") + program + " >/dev/null").status == 0;
}

// The shipped configuration with the test's ports and files in place of the installed ones.
std::string ServerConfig(const std::string& dir, int tlsPort, int serverPort) {
    const std::map<std::string, std::string> local = {
        {"accept", "127.0.0.1:" + std::to_string(tlsPort)},
        {"connect", "127.0.0.1:" + std::to_string(serverPort)},
        {"cert", dir + "/server.pem"},
        {"key", dir + "/server.key"},
        {"CAfile", dir + "/ca.pem"}};
    std::ifstream shipped(SHIPPED_CONFIG);
    std::ostringstream config;
    for (std::string line; std::getline(shipped, line);) {
        auto name = local.find(line.substr(0, line.find_first_of(" =")));
        config << (name == local.end() ? line : name->first + " = " + name->second) << "\n";
    }
    return config.str();
}

// A client side of stunnel on `port`, as a plain TCP client reaches it; it checks the server
// against the CA and shows `certificate` (none if empty).
std::string ClientService(const std::string& dir, const std::string& name, int port, int tlsPort,
                          const std::string& certificate) {
    std::string service = "[" + name + "]\nclient = yes\n" +
                          "accept = 127.0.0.1:" + std::to_string(port) +
                          "\nconnect = 127.0.0.1:" + std::to_string(tlsPort) + "\nCAfile = " + dir +
                          "/ca.pem\nverifyChain = yes\ncheckIP = 127.0.0.1\n";
    if (!certificate.empty()) {
        service += "cert = " + dir + "/" + certificate + ".pem\nkey = " + dir + "/" + certificate +
                   ".key\n";
    }
    return service;
}

// A client that the TLS side must turn away: what it sends never reaches the server, and its
// connection ends.
void ExpectTurnedAway(int port, const ipmsg::Bytes& telegram, ServerProcess& tunnel) {
    TestClient client;
    ASSERT_TRUE(client.Connect(port));
    client.SendData(telegram);  // may already fail: the tunnel has closed
    EXPECT_TRUE(client.WaitClosed()) << tunnel.Tail();
}

struct Stunnel : ::testing::Test {
    void SetUp() override {
        SKIP_IF_MISSING(
            !Installed("stunnel4") || !Installed("openssl")
                ? "stunnel4 or openssl is not installed (scripts/setup.sh installs them)"
                : "");
        char dirTemplate[] = "/tmp/veltrabox-tls-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
        CommandResult made = RunCommand("(cd " + dir + "\n" + MAKE_CERTIFICATES + ") 2>&1");
        ASSERT_EQ(made.status, 0) << made.output;
    }
    void TearDown() override {
        if (!dir.empty()) std::filesystem::remove_all(dir);
    }

    std::string dir;
};

TEST_F(Stunnel, OnlyAClientWithACertificateOfTheTrustedCaReachesTheServer) {
    PtyLon lon;
    ASSERT_TRUE(lon.Open());
    int serverPort = FreePort(), tlsPort = FreePort();
    int withCertificate = FreePort(), withoutCertificate = FreePort(), stranger = FreePort();
    ServerProcess server({"-p", std::to_string(serverPort), "-d", lon.Path()}, {}, LOG_ZONES,
                         "[HKEY_LOCAL_MACHINE\\Quorvel\\Port" + std::to_string(serverPort) +
                             "]\n\"ListenAddress\"=\"127.0.0.1\"\n");
    {
        std::ofstream config(dir + "/stunnel.conf");
        config << ServerConfig(dir, tlsPort, serverPort)
               << ClientService(dir, "with-certificate", withCertificate, tlsPort, "client")
               << ClientService(dir, "without-certificate", withoutCertificate, tlsPort, "")
               << ClientService(dir, "stranger", stranger, tlsPort, "stranger");
    }
    ServerProcess tunnel(ServerProcess::Command{{"/usr/bin/stunnel4", dir + "/stunnel.conf"}});
    for (int port : {serverPort, tlsPort, withCertificate, withoutCertificate, stranger}) {
        ASSERT_TRUE(WaitForListener(port)) << port << "\n" << tunnel.Tail();
    }

    ExpectTurnedAway(withoutCertificate, NumberedTelegram(0xE5, 1), tunnel);
    ExpectTurnedAway(stranger, NumberedTelegram(0xE5, 2), tunnel);

    // Had either reached the server, its telegram would be the first on the bus.
    TestClient client;
    ASSERT_TRUE(client.Connect(withCertificate));
    ASSERT_TRUE(client.SendData(NumberedTelegram(0xC3, 0)));
    EXPECT_EQ(lon.Read(), NumberedTelegram(0xC3, 0)) << server.Tail() << tunnel.Tail();
    auto toLon = std::async(std::launch::async, [&] {
        return RunFlow([&](const ipmsg::Bytes& t) { return client.SendData(t); },
                       [&] { return lon.Read(); }, 0xC3, 100);
    });
    std::string fromLon = RunFlow([&](const ipmsg::Bytes& t) { return lon.Write(t); },
                                  [&] { return client.ReceiveData(); }, 0xD4, 100);
    EXPECT_EQ(toLon.get(), "") << server.Tail() << tunnel.Tail();
    EXPECT_EQ(fromLon, "") << server.Tail() << tunnel.Tail();
    EXPECT_EQ(server.CountLines(STARTED), 1u) << server.Tail();
}

}  // namespace
}  // namespace e2e
