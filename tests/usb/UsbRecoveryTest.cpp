// Recovery after a device I/O error: which requests pass, which wait for a pipe or port
// reset, and when the device is taken for gone. One row per course a recovery can take.
#include "UsbTestSupport.h"

using namespace usbtest;

namespace {

struct Course {
    const char* name;
    std::vector<UCHAR> needReset; // pipes whose status request fails with a device error
    std::vector<std::pair<UCHAR, NTSTATUS>> failedResets;
    bool portStatusFails;
    NTSTATUS sent;        // what sending a command on the OUT pipe returns
    bool errorCleared;    // the I/O error flag afterwards
    bool removed;         // taken for surprise-removed
    size_t portChecks;    // GET_PORT_STATUS requests (device resets)
    const char* lastLine; // the recovery's last message
    // What GET_STATUS does on the halted pipes: fails, or answers with the Halt bit.
    NTSTATUS statusAnswer = STATUS_DEVICE_DATA_ERROR;
};

// clang-format off
const Course kCourses[] = {
    {"HealthyPipesAreOnlyAskedForStatus", {}, {}, false, STATUS_SUCCESS, true, false, 0,
     "ravo: CUsbInterface::UsbCall_GSPN, Successfully reset the pipes"},
    // The pipe whose reset failed is still halted: the command fails, and says so.
    {"LaterSuccessfulResetForgetsEarlierFailure", {0x02, 0x03}, {{0x02, STATUS_DEVICE_DATA_ERROR}},
     false, STATUS_UNSUCCESSFUL, true, false, 0,
     "ravo: CUsbInterface::UsbCall_GSPN, Successfully reset the pipes"},
    {"FailedLastResetResetsTheDevice", {0x02}, {{0x02, STATUS_DEVICE_DATA_ERROR}}, false,
     STATUS_UNSUCCESSFUL, true, false, 1,
     "ravo: CUsbInterface::UsbCall_GSPN, Successfully reset the pipes and Device"},
    {"DeviceGoneDuringResetMarksSurpriseRemoval", {0x03}, {{0x03, STATUS_DEVICE_NOT_CONNECTED}},
     false, STATUS_DEVICE_DATA_ERROR, true, true, 1,
     "ravo (error): CUsbInterface::UsbCall_GSPN() : Device Surprise Removal!!"},
    {"HaltBitMeansAReset", {0x02, 0x03}, {}, false, STATUS_SUCCESS, true, false, 0,
     "ravo: CUsbInterface::UsbCall_GSPN, Successfully reset the pipes", STATUS_SUCCESS},
    {"FailedDeviceResetHoldsTheTransferBack", {0x03}, {{0x03, STATUS_DEVICE_DATA_ERROR}}, true,
     STATUS_DEVICE_DATA_ERROR, false, false, 1,
     "ravo (error): CUsbInterface::UsbCall_GSPN, Failed to reset Device c0000001"},
};
// clang-format on

class UsbRecoveryTest : public UsbFixture, public ::testing::WithParamInterface<Course> {};

TEST_P(UsbRecoveryTest, CommandAfterAnIoError) {
    const Course& c = GetParam();
    CUsbInterface& u = configured();
    for (UCHAR endpoint : c.needReset)
        bus->stallEndpoint(endpoint, c.statusAnswer);
    for (const auto& failure : c.failedResets) {
        FaultRule f;
        f.urbFunction = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        f.endpoint = failure.first;
        f.status = failure.second;
        bus->injectFault(f);
    }
    if (c.portStatusFails) {
        FaultRule port;
        port.ioControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
        bus->injectFault(port);
    }
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    UCHAR cmd[3] = {0x9F, 0x0C, 0x00};
    EXPECT_EQ(c.sent, u.UsbSendMcCmd(1, 0, cmd, sizeof cmd));
    EXPECT_EQ(c.errorCleared, u.ioError() == 0);
    EXPECT_EQ(c.removed, u.surpriseRemoved() != 0);
    EXPECT_EQ(c.portChecks, bus->countRequests(RequestKind::GetPortStatus));
    EXPECT_EQ(3u, urbs(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT).size()) << "every pipe is asked";
    EXPECT_EQ(c.needReset.size(), urbs(URB_FUNCTION_ABORT_PIPE).size());
    std::vector<std::string> lines = linesWith(mark, "CUsbInterface");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(c.lastLine, lines.back());
    EXPECT_EQ(1u,
              emu::debuglog::count("Func(9) Rejecting, device IO error occured before!!", mark));
    // Held back by the recovery (STATUS_DEVICE_DATA_ERROR) or sent, whatever the bus made of it.
    EXPECT_EQ(c.sent == STATUS_DEVICE_DATA_ERROR ? 0u : 1u,
              urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size());
    if (c.removed) {
        bus->clearRequests();
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, u.GetStatusPipe(0, 0));
        EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, u.UsbSendMcCmd(1, 0, cmd, sizeof cmd));
        EXPECT_EQ(0u, bus->requests().size()) << "nothing is sent after a surprise removal";
    }
}

INSTANTIATE_TEST_SUITE_P(Courses, UsbRecoveryTest, ::testing::ValuesIn(kCourses),
                         [](const ::testing::TestParamInfo<Course>& info) {
                             return std::string(info.param.name);
                         });

class UsbRecoveryRulesTest : public UsbFixture {};

TEST_F(UsbRecoveryRulesTest, AllowedRequestsPassAndOnlyAConnectedDisabledPortIsReset) {
    CUsbInterface& u = configured();
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_SUCCESS, u.UsbDeviceGetDescriptor());
    EXPECT_EQ(1u, emu::debuglog::count("Func(11) Allowed, device IO error occured before!!", mark));
    EXPECT_NE(0, u.ioError()) << "an allowed request does not clear the flag";
    struct {
        PortState port;
        size_t resets;
    } cases[] = {{{true, true}, 0}, {{false, true}, 1}, {{false, false}, 0}};
    for (const auto& c : cases) {
        bus->setPortState(c.port);
        bus->clearRequests();
        EXPECT_EQ(STATUS_SUCCESS, u.ResetDevice());
        EXPECT_EQ(1u, bus->countRequests(RequestKind::GetPortStatus));
        EXPECT_EQ(c.resets, bus->countRequests(RequestKind::ResetPort));
        EXPECT_EQ(c.port.connected, bus->portState().enabled) << "a connected port ends enabled";
    }
}

} // namespace
