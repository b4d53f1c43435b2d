// Opening, reading and writing the LON interface through the stream driver, on the simulated
// interface with injected faults.
#include <cstring>
#include <thread>

#include "lon_fixture.h"
#include "platform/handles.h"

using namespace win;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

struct DriverWay : LonTest {
    BYTE buffer[512];
    DWORD length = 0xDEAD;

    DWORD Read() { return GetPacketFromLon(&instance, buffer, sizeof buffer, &length); }
};

struct DriverWayWithoutVersion : DriverWay {
    // A driver that does not answer IOCTL_GETVERSION: reads use IOCTL_XLON_READWAIT.
    void SetUp() override {
        DriverWay::SetUp();
        simlon::FailRequest(channel.c_str(), IOCTL_GETVERSION, ERROR_INVALID_PARAMETER, 1);
        ASSERT_EQ(StartLon(&instance), 0u);
        ASSERT_FALSE(instance.IsQuorvelDriver);
        Log();
    }
};

struct DriverWayOpen : DriverWay {
    void SetUp() override {
        DriverWay::SetUp();
        ASSERT_EQ(StartLon(&instance), 0u);
        ASSERT_TRUE(instance.IsQuorvelDriver);
        Log();
    }
};

}  // namespace

TEST_F(DriverWay, OpensWithoutNeuronIdMessageWhenTheIdIsAllZero) {
    EXPECT_EQ(StartLon(&instance), 0u);
    EXPECT_THAT(RequestCodes(), ElementsAre(simlon::REQUEST_OPEN, IOCTL_XLON_GETVERS,
                                            IOCTL_GETVERSION, IOCTL_LON_RESET));
    EXPECT_TRUE(instance.IsQuorvelDriver);
    std::string log = Log();
    EXPECT_THAT(log, HasSubstr("DeviceIoControl(IOCTL_XLON_GETVERS)=1 Anz=4\n"));
    EXPECT_THAT(log, HasSubstr("IOCTL_XLON_GETVERS=0210\n"));
    EXPECT_THAT(log, HasSubstr("DeviceIoControl(IOCTL_GETVERSION)=1 Anz=76\n"));
    EXPECT_THAT(log, HasSubstr("IOCTL_GETVERSION=Veltrabox simulated LON interface 2.1\n"));
}

TEST_F(DriverWay, SendsTheNeuronIdMessageByteForByteWhenAnyIdByteIsSet) {
    for (int i = 0; i < 6; ++i) {
        simlon::ResetChannel(channel.c_str());
        BYTE id[6] = {};
        id[i] = static_cast<BYTE>(0xA0 + i);
        std::memcpy(instance.NeuronId, id, 6);
        ASSERT_EQ(StartLon(&instance), 0u);
        auto requests = simlon::Requests(channel.c_str());
        ASSERT_EQ(requests.size(), 5u);
        EXPECT_EQ(requests[4].code, IOCTL_LON_NETMGMT);
        std::vector<BYTE> expected = {0x22, 0x1A, 0x71, 0x08, 0x0C, 0x7F, 0,    0, 0, 0,    0,
                                      0,    0,    0,    0,    0,    0x6E, 0x01, 0, 0, 0x06, 0x00};
        expected.insert(expected.end(), id, id + 6);
        EXPECT_EQ(requests[4].input, expected) << "id byte " << i;
        StopLon(&instance);
    }
}

TEST_F(DriverWay, NeuronIdGoesInStoredOrder) {
    const BYTE id[6] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    std::memcpy(instance.NeuronId, id, 6);
    ASSERT_EQ(StartLon(&instance), 0u);
    auto requests = simlon::Requests(channel.c_str());
    ASSERT_EQ(requests.back().input.size(), NEURON_ID_MESSAGE_SIZE);
    EXPECT_THAT(std::vector<BYTE>(requests.back().input.begin() + 22, requests.back().input.end()),
                ElementsAre(1, 2, 3, 4, 5, 6));
}

TEST_F(DriverWay, DriverAnsweringNoVersionStillOpens) {
    simlon::FailRequest(channel.c_str(), IOCTL_XLON_GETVERS, ERROR_INVALID_PARAMETER, 1);
    simlon::FailRequest(channel.c_str(), IOCTL_GETVERSION, ERROR_INVALID_PARAMETER, 1);
    simlon::FailRequest(channel.c_str(), IOCTL_LON_RESET, ERROR_INVALID_PARAMETER, 1);
    simlon::FailRequest(channel.c_str(), IOCTL_LON_NETMGMT, ERROR_INVALID_PARAMETER, 1);
    instance.NeuronId[5] = 1;
    instance.IsQuorvelDriver = TRUE;
    EXPECT_EQ(StartLon(&instance), 0u);
    EXPECT_FALSE(instance.IsQuorvelDriver);
    std::string log = Log();
    EXPECT_THAT(log, HasSubstr("DeviceIoControl(IOCTL_XLON_GETVERS)=0 Anz=-1\n"));
    EXPECT_THAT(log, HasSubstr("DeviceIoControl(IOCTL_GETVERSION)=0 Anz=-1\n"));
    EXPECT_THAT(log, Not(HasSubstr("IOCTL_XLON_GETVERS=")));
    EXPECT_THAT(log, Not(HasSubstr("IOCTL_GETVERSION=")));
}

TEST_F(DriverWay, FailedOpenReturnsTheErrorAndLeavesNoHandle) {
    simlon::FailRequest(channel.c_str(), simlon::REQUEST_OPEN, ERROR_ACCESS_DENIED, 1);
    EXPECT_EQ(StartLon(&instance), ERROR_ACCESS_DENIED);
    EXPECT_EQ(instance.hLon.load(), INVALID_HANDLE_VALUE);
    EXPECT_THAT(Log(),
                HasSubstr("CreateFile(" + std::string(channel.begin(), channel.end()) + ")"));
    instance.DevName = L"COM1:";
    EXPECT_EQ(StartLon(&instance), ERROR_FILE_NOT_FOUND);
}

TEST_F(DriverWay, StopClosesOnceAndOnlyWhatIsOpen) {
    size_t before = detail::LiveHandleCount();
    EXPECT_EQ(StopLon(&instance), 0u);  // never opened
    EXPECT_THAT(Log(), HasSubstr("LON wird gestopt.\n"));
    ASSERT_EQ(StartLon(&instance), 0u);
    EXPECT_EQ(simlon::OpenNodes(channel.c_str()), 1u);
    EXPECT_EQ(StopLon(&instance), 0u);
    EXPECT_EQ(StopLon(&instance), 0u);
    EXPECT_EQ(simlon::OpenNodes(channel.c_str()), 0u);
    EXPECT_EQ(instance.hLon.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(detail::LiveHandleCount(), before);
}

TEST_F(DriverWayOpen, LengthComesFromByteOneOfTheDelivery) {
    std::vector<BYTE> t18 = Telegram(0x11, std::vector<BYTE>(16, 0x5A));
    Inject(t18);
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 18u);
    EXPECT_TRUE(std::equal(t18.begin(), t18.end(), buffer));
    std::string log = Log();
    EXPECT_THAT(log, HasSubstr("GetPacketFromLon(): IsQuorvelDriver=1\n"));
    EXPECT_THAT(log, HasSubstr("GetPacketFromLon()=12 cBuffer[1]=10\n"));
    EXPECT_THAT(log, HasSubstr("TelLen=12\n"));

    std::vector<BYTE> long30 = t18;
    long30.resize(30, 0xEE);  // a delivery longer than byte 1 says
    Inject(long30);
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 18u);

    Inject({0x11, 0x10, 0x77, 0x77, 0x77});  // shorter than byte 1 says
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 18u);
    for (int i = 5; i < 18; ++i) EXPECT_EQ(buffer[i], 0) << i;
}

TEST_F(DriverWayOpen, CountsBelowTwoStayAsTheDriverGaveThem) {
    Inject({0x42});
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 1u);
    EXPECT_THAT(Log(), Not(HasSubstr("TelLen")));
    Inject({});
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 0u);
}

TEST_F(DriverWayOpen, NeverReportsMoreThanTheCallersBuffer) {
    Inject(Telegram(0x11, std::vector<BYTE>(200, 0x33)));
    BYTE small[16];
    EXPECT_EQ(GetPacketFromLon(&instance, small, sizeof small, &length), LON_READ_DONE);
    EXPECT_EQ(length, sizeof small);
}

TEST_F(DriverWayOpen, ReadRequestFailingWithLastErrorZeroIsNoError) {
    simlon::FailRequest(channel.c_str(), IOCTL_READ, 0, 1);
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 0u);
    EXPECT_THAT(Log(), HasSubstr("Error: DeviceIoControl(IOCTL_READ)=FALSE: LastError=0\n"));
    simlon::FailRequest(channel.c_str(), IOCTL_READ, ERROR_INVALID_HANDLE, 1);
    EXPECT_EQ(Read(), LON_READ_FAILED);
    EXPECT_THAT(Log(), HasSubstr("Error: DeviceIoControl(IOCTL_READ)=FALSE: LastError=6\n"));
}

TEST_F(DriverWayWithoutVersion, ReadsWithReadWaitAndToleratesOnlyLastErrorSix) {
    simlon::FailRequest(channel.c_str(), IOCTL_READ, ERROR_INVALID_PARAMETER, -1);
    Inject(Telegram(0x11, {1, 2, 3}));
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 5u);
    EXPECT_THAT(Log(), HasSubstr("GetPacketFromLon(): IsQuorvelDriver=0\n"));

    simlon::FailRequest(channel.c_str(), IOCTL_XLON_READWAIT, ERROR_INVALID_HANDLE, 1);
    EXPECT_EQ(Read(), LON_READ_DONE);
    EXPECT_EQ(length, 0u);
    EXPECT_THAT(Log(),
                HasSubstr("Error: DeviceIoControl(IOCTL_XLON_READWAIT)=FALSE: LastError=6\n"));
    simlon::FailRequest(channel.c_str(), IOCTL_XLON_READWAIT, 0, 1);
    EXPECT_EQ(Read(), LON_READ_FAILED);
}

TEST_F(DriverWayOpen, ReadsWaitTheirTimeOutOnTheLayersClock) {
    testclock::UseManualClock(5000);
    std::atomic<DWORD> result{0};
    std::thread reader([&] { result = Read(); });
    ASSERT_TRUE(testclock::AwaitTimedWaiters(1));
    testclock::Advance(999);
    EXPECT_EQ(result.load(), 0u);
    testclock::Advance(1);
    reader.join();
    testclock::UseRealClock();
    EXPECT_EQ(result.load(), LON_READ_DONE);
    EXPECT_EQ(length, 0u);
}

TEST_F(DriverWayOpen, StopWakesABlockedReaderWhichThenFails) {
    std::atomic<DWORD> result{0};
    std::thread reader([&] {
        DWORD n = 0;
        BYTE b[512];
        result = GetPacketFromLon(&instance, b, sizeof b, &n);
    });
    ASSERT_TRUE(testclock::AwaitTimedWaiters(1));
    StopLon(&instance);
    reader.join();
    EXPECT_EQ(result.load(), LON_READ_FAILED);
    EXPECT_EQ(Read(), LON_READ_FAILED);  // and every later read fails at once
}

TEST_F(DriverWayOpen, WritesReportWholeShortAndFailed) {
    const BYTE t[] = {0x11, 0x03, 0xA, 0xB, 0xC};
    EXPECT_EQ(SendPacketToLon(&instance, t, sizeof t), LON_SEND_DONE);
    EXPECT_EQ(simlon::Requests(channel.c_str()).back().input, std::vector<BYTE>(t, t + 5));
    std::string log = Log();
    EXPECT_THAT(log, HasSubstr("SendPacketToLon(5):\n"));
    EXPECT_THAT(log, HasSubstr("SendPacketToLon(5)=5\n"));

    EXPECT_EQ(SendPacketToLon(&instance, t, 0), LON_SEND_DONE);

    simlon::ShortenWrites(channel.c_str(), 1);
    EXPECT_EQ(SendPacketToLon(&instance, t, sizeof t), LON_SEND_INCOMPLETE);
    EXPECT_THAT(Log(), HasSubstr("SendPacketToLon(5)=4\n"));
    simlon::ShortenWrites(channel.c_str(), 0);

    simlon::FailRequest(channel.c_str(), simlon::REQUEST_WRITE, 21, 1);
    EXPECT_EQ(SendPacketToLon(&instance, t, sizeof t), LON_SEND_FAILED);
    log = Log();
    EXPECT_THAT(log, HasSubstr("Error: Senden \xC3\xBC"
                               "ber LON nicht m\xC3\xB6glich: 21.\n"));
    EXPECT_THAT(log, Not(HasSubstr("SendPacketToLon(5)=")));
}

// Several telegrams go to the device in one request that keeps each one's bounds, and the
// log has the pair of lines of each; a short one ends the burst, counted as unsent.
TEST_F(DriverWayOpen, SeveralTelegramsGoInOneRequestAndAShortOneEndsThem) {
    const BYTE t[] = {0x11, 0x01, 0xA, 0x12, 0x02, 0xB, 0xC, 0x13, 0x00};
    const DWORD lengths[] = {3, 4, 2};
    simlon::ResetChannel(channel.c_str());
    DWORD sent = 0;
    EXPECT_EQ(SendPacketsToLon(&instance, t, lengths, 3, &sent), LON_SEND_DONE);
    EXPECT_EQ(sent, 3u);
    std::vector<simlon::Request> requests = simlon::Requests(channel.c_str());
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].code, IOCTL_WRITE_TELEGRAMS);
    for (size_t i = 0, at = 0; i < 3; at += lengths[i++]) {
        EXPECT_EQ(requests[i + 1].input, std::vector<BYTE>(t + at, t + at + lengths[i]));
    }
    std::string log = Log();
    EXPECT_THAT(log, HasSubstr("SendPacketToLon(3):\nSendPacketToLon(4):\nSendPacketToLon(2):\n"));
    EXPECT_THAT(log,
                HasSubstr("SendPacketToLon(3)=3\nSendPacketToLon(4)=4\nSendPacketToLon(2)=2\n"));

    simlon::ShortenWrites(channel.c_str(), 1);
    EXPECT_EQ(SendPacketsToLon(&instance, t, lengths, 3, &sent), LON_SEND_INCOMPLETE);
    EXPECT_EQ(sent, 0u);
    log = Log();
    EXPECT_THAT(log, HasSubstr("SendPacketToLon(3)=2\n"));
    EXPECT_THAT(log, Not(HasSubstr("SendPacketToLon(4)=")));
}

TEST_F(DriverWay, TwoInstancesOnOneChannelHearEachOtherButNotThemselves) {
    ServerInstance other{};
    other.DevName = instance.DevName;
    ASSERT_EQ(StartLon(&instance), 0u);
    ASSERT_EQ(StartLon(&other), 0u);
    const BYTE t[] = {0x11, 0x02, 0x55, 0x66};
    ASSERT_EQ(SendPacketToLon(&instance, t, sizeof t), LON_SEND_DONE);
    BYTE b[512];
    DWORD n = 0;
    EXPECT_EQ(GetPacketFromLon(&other, b, sizeof b, &n), LON_READ_DONE);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::memcmp(b, t, 4), 0);
    EXPECT_EQ(simlon::PendingTelegrams(instance.hLon.load()), 0u);
    StopLon(&other);
}
