// Recovery after a device I/O error, message by message: which requests pass, which wait
// for a pipe or port reset, and when the device is taken for gone.
#include "UsbTestSupport.h"

using namespace usbtest;

namespace {

const char* const kRejecting9 = "ravo (error): CUsbInterface::UsbCall_GSPN() : Func(9) Rejecting, "
                                "device IO error occured before!!";
const char* const kAllowed21 = "ravo (error): CUsbInterface::UsbCall_GSPN() : Func(21) Allowed, "
                               "device IO error occured before!!";
const char* const kDataError =
    "ravo (error): CUsbInterface::UsbCall_GSPN : Error Status = c000009c!!";
const char* const kSendCmdOut = "CUsbInterface::UsbSendMcCmd:interface_num=0,pip_num=1";
const char* const kPipesReset = "ravo: CUsbInterface::UsbCall_GSPN, Successfully reset the pipes";
const std::vector<std::string> kPortCheck = {
    "ravo: CUsbInterface:ResetDevice - begins", "ravo: CUsbInterface:GetPortStatus - begins",
    "ravo: CUsbInterface:GetPortStatus - ends", "ravo: CUsbInterface:ResetDevice - ends"};

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

class UsbRecoveryTest : public UsbFixture {
protected:
    // A pipe whose status request fails with a device error, so that recovery resets it.
    void needsReset(UCHAR endpoint) { bus->stallEndpoint(endpoint, STATUS_DEVICE_DATA_ERROR); }
    void failReset(UCHAR endpoint, NTSTATUS status) {
        FaultRule f;
        f.urbFunction = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        f.endpoint = endpoint;
        f.status = status;
        bus->injectFault(f);
    }
    NTSTATUS sendCmdOut() {
        UCHAR cmd[3] = {0x9F, 0x0C, 0x00};
        return usb->UsbSendMcCmd(1, 0, cmd, sizeof cmd);
    }
    std::vector<std::string> messages(uint64_t mark) { return linesWith(mark, "CUsbInterface"); }
};

TEST_F(UsbRecoveryTest, AllowedRequestIsSentAndLeavesTheFlagSet) {
    CUsbInterface& u = configured();
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_SUCCESS, u.UsbDeviceGetDescriptor());
    EXPECT_EQ(1u, countSince(mark, "ravo (error): CUsbInterface::UsbCall_GSPN() : Func(11) "
                                   "Allowed, device IO error occured before!!"));
    EXPECT_EQ(1u, urbs(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE).size());
    EXPECT_NE(0, u.ioError());
}

TEST_F(UsbRecoveryTest, HealthyPipesOnlyAskedForStatusThenTransferSent) {
    CUsbInterface& u = configured();
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_SUCCESS, sendCmdOut());
    EXPECT_EQ((std::vector<std::string>{kSendCmdOut, kRejecting9, kAllowed21, kAllowed21,
                                        kAllowed21, kPipesReset}),
              messages(mark));
    EXPECT_EQ(0, u.ioError());
    auto status = urbs(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT);
    ASSERT_EQ(3u, status.size());
    EXPECT_EQ(0x81, *status[0].endpoint);
    EXPECT_EQ(0x02, *status[1].endpoint);
    EXPECT_EQ(0x03, *status[2].endpoint);
    EXPECT_TRUE(urbs(URB_FUNCTION_ABORT_PIPE).empty());
    EXPECT_EQ((std::vector<std::vector<uint8_t>>{{0x9F, 0x0C, 0x00}}), bus->outData(0x02));
}

TEST_F(UsbRecoveryTest, LaterSuccessfulResetForgetsEarlierFailure) {
    CUsbInterface& u = configured();
    needsReset(0x02);
    needsReset(0x03);
    failReset(0x02, STATUS_DEVICE_DATA_ERROR);
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    // The pipe whose reset failed is still halted: the command fails, and says so.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sendCmdOut());
    EXPECT_EQ(
        (std::vector<std::string>{
            kSendCmdOut, kRejecting9, kAllowed21, kAllowed21, kDataError, kDataError,
            "ravo (error): CUsbInterface::UsbCall_GSPN, Failed to reset cmd OUT pipe c000009c",
            kAllowed21, kDataError, kPipesReset}),
        messages(mark));
    EXPECT_EQ(0u, bus->countRequests(RequestKind::GetPortStatus)) << "no device reset";
    EXPECT_EQ(2u, urbs(URB_FUNCTION_ABORT_PIPE).size());
    EXPECT_EQ(0, u.ioError());
}

TEST_F(UsbRecoveryTest, FailedLastResetResetsTheDevice) {
    CUsbInterface& u = configured();
    needsReset(0x02);
    failReset(0x02, STATUS_DEVICE_DATA_ERROR);
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    // The pipe whose reset failed is still halted: the command fails, and says so.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, sendCmdOut());
    EXPECT_EQ(
        join(
            join(
                {kSendCmdOut, kRejecting9, kAllowed21, kAllowed21, kDataError, kDataError,
                 "ravo (error): CUsbInterface::UsbCall_GSPN, Failed to reset cmd OUT pipe c000009c",
                 kAllowed21},
                kPortCheck),
            {"ravo: CUsbInterface::UsbCall_GSPN, Successfully reset the pipes and Device"}),
        messages(mark));
    EXPECT_EQ(0, u.ioError());
    EXPECT_EQ(1u, urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).size());
}

TEST_F(UsbRecoveryTest, DeviceGoneDuringResetMarksSurpriseRemoval) {
    CUsbInterface& u = configured();
    needsReset(0x03);
    failReset(0x03, STATUS_DEVICE_NOT_CONNECTED);
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sendCmdOut());
    auto lines = messages(mark);
    std::vector<std::string> tail(lines.end() - 8, lines.end());
    EXPECT_EQ(
        join(join({"ravo (error): CUsbInterface::UsbCall_GSPN, Failed to reset firmware download "
                   "pipe c000009d",
                   "ravo (error): CUsbInterface::UsbCall_GSPN, Setting surprise removal flag"},
                  kPortCheck),
             {"ravo: CUsbInterface::UsbCall_GSPN, Successfully reset the pipes and Device",
              "ravo (error): CUsbInterface::UsbCall_GSPN() : Device Surprise Removal!!"}),
        tail);
    EXPECT_NE(0u, u.surpriseRemoved());
    EXPECT_TRUE(urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty()) << "the transfer is refused";

    bus->clearRequests();
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, u.GetStatusPipe(0, 0));
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, u.UsbAbortPipe(0, 0));
    EXPECT_EQ(0u, bus->requests().size()) << "nothing is sent after a surprise removal";
}

TEST_F(UsbRecoveryTest, FailedDeviceResetHoldsTheTransferBackAndKeepsTheFlag) {
    CUsbInterface& u = configured();
    needsReset(0x03);
    failReset(0x03, STATUS_DEVICE_DATA_ERROR);
    FaultRule port;
    port.ioControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
    port.status = STATUS_UNSUCCESSFUL;
    bus->injectFault(port);
    u.setIoError(1);
    uint64_t mark = emu::debuglog::mark();
    EXPECT_EQ(STATUS_DEVICE_DATA_ERROR, sendCmdOut());
    EXPECT_EQ(
        1u,
        countSince(mark,
                   "ravo (error): CUsbInterface::UsbCall_GSPN, Failed to reset Device c0000001"));
    EXPECT_EQ(0u, countSince(mark, "Successfully reset"));
    EXPECT_NE(0, u.ioError());
    EXPECT_EQ(0u, u.surpriseRemoved());
    EXPECT_TRUE(urbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER).empty());
}

TEST_F(UsbRecoveryTest, ResetDeviceResetsOnlyAConnectedDisabledPort) {
    CUsbInterface& u = configured();
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
