// The emulated USB bus below the driver: a bus driver object with one physical device
// object (PDO) for a virtual IR receiver, the device behind it (descriptors, endpoints, a
// queue of IN packets), fault injection, and a log of every request the PDO received.
//
// The PDO answers IRP_MJ_INTERNAL_DEVICE_CONTROL as the USB bus driver does:
// IOCTL_INTERNAL_USB_SUBMIT_URB (descriptors, select configuration, bulk/interrupt and
// isochronous transfers, abort pipe, reset pipe, endpoint status),
// IOCTL_INTERNAL_USB_GET_PORT_STATUS and IOCTL_INTERNAL_USB_RESET_PORT. It keeps the
// Plug and Play and power state the hub driver keeps for its PDO, completes Plug and Play
// and power requests the way a bus PDO does, and records every request it gets.
//
// The rules of a real bus that it enforces:
// - A bulk or interrupt transfer that fails on the wire (isWireError) halts the host's
//   side of its pipe: the transfers still waiting on it take no data, and every later one
//   fails at once with USBD_STATUS_ENDPOINT_HALTED until URB_FUNCTION_SYNC_RESET_PIPE_AND_
//   CLEAR_STALL, a port reset or a new configuration. A STALL also sets the endpoint's Halt
//   feature, which GET_STATUS reports (bit 0, USB 2.0 9.4.5) while the request succeeds.
// - URBs and port requests before IRP_MN_START_DEVICE, after IRP_MN_STOP_DEVICE (until the
//   next start), IRP_MN_SURPRISE_REMOVAL or IRP_MN_REMOVE_DEVICE fail with
//   STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE; a query-stop or query-remove and
//   its cancel change nothing for I/O. A stop or a removal takes the configuration away, and
//   the device drops what it had not sent and hears nothing until it is started again;
//   URBs while the device is in D1-D3 fail with STATUS_DEVICE_POWERED_OFF /
//   USBD_STATUS_DEV_NOT_RESPONDING. An abort is host-side and always accepted.
// - IOCTL_INTERNAL_USB_RESET_PORT while a URB of the driver is still at the bus stops the
//   process (Driver Verifier style): Microsoft's documentation of the request says to
//   cancel all I/O and wait for it to complete first.
//
// Completions come from a bus thread, at DISPATCH_LEVEL as from a DPC or at PASSIVE_LEVEL
// (emu::completion::setIrql), or, in Immediate mode, inside the dispatch routine where the
// result is known at once. Requests that wait (IN transfers without data, requests a fault
// holds back) can be cancelled with IoCancelIrp and are completed exactly once.
//
// Everything here is emulated world: tests, tools and the HID class emulation use it;
// driver code never includes it.
#pragma once

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace emu {
namespace usb {

// ---------------------------------------------------------------------------------------
// USBD status values the bus reports beyond those of the platform header.

// The status values of usb.h, whose bits 31-30 give the state of the request: 11 is an
// error that halted the endpoint (USBD_HALTED), 10 an error that did not.
constexpr USBD_STATUS kUsbdStatusCrc = static_cast<USBD_STATUS>(0xC0000001);
constexpr USBD_STATUS kUsbdStatusBabbleDetected = static_cast<USBD_STATUS>(0xC0000012);
constexpr USBD_STATUS kUsbdStatusXactError = static_cast<USBD_STATUS>(0xC0000011);
constexpr USBD_STATUS kUsbdStatusEndpointHalted = static_cast<USBD_STATUS>(0xC0000030);
constexpr USBD_STATUS kUsbdStatusInvalidPipeHandle = static_cast<USBD_STATUS>(0x80000600);
constexpr USBD_STATUS kUsbdStatusIsochRequestFailed = static_cast<USBD_STATUS>(0xC0000B00);
constexpr USBD_STATUS kUsbdStatusInvalidConfigurationDescriptor =
    static_cast<USBD_STATUS>(0xC0000F00);
constexpr USBD_STATUS kUsbdStatusBufferTooSmall = static_cast<USBD_STATUS>(0xC0003000);
constexpr USBD_STATUS kUsbdStatusInterfaceNotFound = static_cast<USBD_STATUS>(0xC0004000);
constexpr NTSTATUS kStatusInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010);
// A warning status of ntstatus.h ("the device is powered off"): NT_SUCCESS fails for it.
constexpr NTSTATUS kStatusDevicePoweredOff = static_cast<NTSTATUS>(0x8000000F);

// The failures of a bulk or interrupt transfer on the wire, the ones that halt the host's
// side of the pipe: the transaction errors of usb.h's hardware range (CRC, bit stuffing,
// data toggle, STALL handshake, no response, PID errors, data and buffer overruns, FIFO,
// transaction error, babble, no PING response: 0xC0000001 to 0xC0000014). Cancellation,
// a device gone and the host's own refusals do not halt a pipe.
bool isWireError(USBD_STATUS status);
// The NTSTATUS a wire error completes its transfer with: STATUS_UNSUCCESSFUL for a STALL
// (the USB stack's status for every USBD error it has no closer NTSTATUS for, and for a
// transfer on a halted pipe), STATUS_DEVICE_DATA_ERROR for a transaction that went wrong
// on the way (the CRC, toggle, no-response and babble class).
NTSTATUS wireErrorStatus(USBD_STATUS status);

// Pool tag of the USBD library's allocations (USBD_CreateConfigurationRequestEx): "USBD".
constexpr ULONG kUsbdPoolTag = 'U' | ('S' << 8) | ('B' << 16) | ('D' << 24);
// MaximumTransferSize that USBD_CreateConfigurationRequestEx puts into every pipe record.
constexpr ULONG kDefaultMaximumTransferSize = 4096;

// What USBD_GetUSBDIVersion reports (default: USBDI 0x600, USB 0x200).
void setUsbdVersion(ULONG usbdiVersion, ULONG supportedUsbVersion);

// ---------------------------------------------------------------------------------------
// The receiver's description. A device is known by the raw bytes it sends; a description
// builds those bytes, and its override fields make a device whose descriptors lie.

enum EndpointType : UCHAR { kControl = 0, kIsochronous = 1, kBulk = 2, kInterrupt = 3 };

struct EndpointDescription {
    UCHAR address = 0x81; // bit 7 set: IN
    UCHAR type = kBulk;
    USHORT maxPacketSize = 64;
    UCHAR interval = 0;
};

struct InterfaceDescription {
    UCHAR number = 0;
    UCHAR alternateSetting = 0;
    UCHAR interfaceClass = 0xFF;
    UCHAR interfaceSubClass = 0xFF;
    UCHAR interfaceProtocol = 0xFF;
    std::vector<EndpointDescription> endpoints;
    std::optional<UCHAR> numEndpointsOverride; // bNumEndpoints as sent, if not the true count
};

struct ConfigurationDescription {
    UCHAR value = 1; // bConfigurationValue
    UCHAR attributes = 0xA0;
    UCHAR maxPower = 50;
    std::vector<InterfaceDescription> interfaces;
    // When larger than the descriptors' own size, vendor-specific descriptors are appended
    // so that the set is exactly this long (e.g. 300, beyond the driver's first 272-byte read).
    size_t padToTotalLength = 0;
    std::optional<USHORT> totalLengthOverride; // wTotalLength as sent
    std::optional<UCHAR>
        numInterfacesOverride; // bNumInterfaces as sent (default: distinct numbers)
};

struct ReceiverDescription {
    USHORT bcdUSB = 0x0200;
    UCHAR deviceClass = 0;
    UCHAR deviceSubClass = 0;
    UCHAR deviceProtocol = 0;
    UCHAR maxPacketSize0 = 8;
    USHORT idVendor = 0x1209;
    USHORT idProduct = 0x7243;
    USHORT bcdDevice = 0x0100;
    std::vector<ConfigurationDescription> configurations;
    std::optional<UCHAR> numConfigurationsOverride; // bNumConfigurations as sent
};

struct DescriptorBytes {
    std::vector<uint8_t> device;                      // sent for GET_DESCRIPTOR(device)
    std::vector<std::vector<uint8_t>> configurations; // sent for GET_DESCRIPTOR(configuration, i)
};

// The bytes a device of this description sends. Throws std::invalid_argument for a padding
// that cannot be made of descriptors (a gap of exactly one byte).
DescriptorBytes buildDescriptors(const ReceiverDescription& receiver);

// The default receiver: one configuration (value 1), interface 0 of vendor class with
// pipe 0 bulk IN 0x81 (IR data, 64-byte packets), pipe 1 bulk OUT 0x02 and pipe 2 bulk OUT
// 0x03 ("firmware download").
ReceiverDescription mceReceiverModel();
DescriptorBytes mceReceiverDescriptorBytes();

// ---------------------------------------------------------------------------------------
// Faults

struct PortState {
    bool enabled = true;
    bool connected = true;
};

// A scripted failure for the next requests that match it (first matching rule wins).
struct FaultRule {
    std::optional<USHORT> urbFunction;  // URBs of this function; any URB function if empty
    std::optional<UCHAR> endpoint;      // transfers/pipe requests of this endpoint address
    std::optional<ULONG> ioControlCode; // set: a port IOCTL rule (URB fields then unused)
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    USBD_STATUS usbdStatus = USBD_STATUS_STALL_PID;
    // The request is never completed by the bus: it waits until the sender cancels it (or
    // the pipe is aborted, the device removed, the bus torn down).
    bool neverComplete = false;
    // Isochronous transfers only, when not empty: the statuses of packets 0, 1, ... (the
    // rest succeed); the transfer itself is carried out rather than failed.
    std::vector<USBD_STATUS> isoPacketStatus;
    int count = 1; // requests it applies to; negative: every one until clearFaults()
    // Set: what the port becomes when the rule applies (a port disabled by the failure, a
    // device unplugged), as GET_PORT_STATUS and later requests then see it.
    std::optional<PortState> portAfter;
};

enum class CompletionMode {
    Deferred,  // every request is pended and completed by the bus thread (the real bus)
    Immediate, // a request whose result is known at once is completed inside dispatch
};

// ---------------------------------------------------------------------------------------
// Request log

enum class RequestKind { Urb, GetPortStatus, ResetPort, OtherIoctl, Pnp, Power, Other };

struct RequestRecord {
    uint64_t sequence = 0;
    RequestKind kind = RequestKind::Other;
    UCHAR majorFunction = 0;
    UCHAR minorFunction = 0;
    ULONG ioControlCode = 0;
    KIRQL submitIrql = PASSIVE_LEVEL;
    // URB requests
    USHORT urbFunction = 0xFFFF;
    USHORT urbLength = 0;
    std::optional<UCHAR> endpoint; // pipe requests, transfers, endpoint status
    USBD_PIPE_HANDLE pipeHandle = nullptr;
    ULONG transferFlags = 0;
    ULONG requestedLength = 0;
    UCHAR descriptorType = 0; // GET_DESCRIPTOR_FROM_DEVICE
    UCHAR descriptorIndex = 0;
    ULONG isoPackets = 0;
    std::vector<uint8_t> outData; // OUT transfers: the bytes sent
    // Power requests
    POWER_STATE_TYPE powerType = SystemPowerState;
    ULONG powerState = 0;
    // Outcome, filled in when the bus completes the request.
    bool pended = false;
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    USBD_STATUS usbdStatus = 0;
    ULONG transferredLength = 0; // TransferBufferLength (or IoStatus.Information) at the end
    KIRQL completionIrql = PASSIVE_LEVEL;
};

struct PipeSnapshot {
    UCHAR interfaceNumber;
    UCHAR alternateSetting;
    ULONG pipeIndex;
    UCHAR endpointAddress;
    USBD_PIPE_TYPE type;
    USHORT maximumPacketSize;
    USBD_PIPE_HANDLE handle;
    bool stalled;
};

// ---------------------------------------------------------------------------------------
// The bus with its one receiver. Every member is thread-safe. Tear down (destroy) only
// after the drivers above the PDO are gone: requests still waiting are then completed with
// STATUS_DEVICE_NOT_CONNECTED, and the PDO and the bus driver object are deleted.

class VirtualReceiver {
public:
    explicit VirtualReceiver(DescriptorBytes descriptors = mceReceiverDescriptorBytes());
    explicit VirtualReceiver(const ReceiverDescription& receiver);
    ~VirtualReceiver();
    VirtualReceiver(const VirtualReceiver&) = delete;
    VirtualReceiver& operator=(const VirtualReceiver&) = delete;

    PDEVICE_OBJECT pdo() const;
    PDRIVER_OBJECT busDriver() const;
    const DescriptorBytes& descriptors() const;

    void setCompletionMode(CompletionMode mode);

    // --- IN data -----------------------------------------------------------------------
    // Queues one packet the device sends on an IN endpoint (default: 0x81). Each packet
    // completes one waiting transfer with up to its requested length; the part of a packet
    // longer than the transfer stays queued for the next one (nothing is dropped).
    void queueInPacket(std::vector<uint8_t> bytes, UCHAR endpoint = 0x81);
    size_t queuedInPackets(UCHAR endpoint = 0x81) const;
    // Transfers waiting on the endpoint for data (not those a fault holds back).
    size_t waitingTransfers(UCHAR endpoint = 0x81) const;
    // Blocks (real time) until at least n transfers wait on the endpoint.
    bool waitForWaitingTransfers(size_t n, UCHAR endpoint = 0x81, int realTimeoutMs = 5000) const;
    // Blocks until the bus thread has nothing left to do: no completion queued, and no
    // packet that a waiting transfer could take.
    bool waitUntilIdle(int realTimeoutMs = 5000) const;

    // --- Faults --------------------------------------------------------------------------
    void injectFault(const FaultRule& rule);
    // The nth request from now (1 = the next one) of those the driver sends to the PDO as
    // internal device controls (URBs and port requests alike) meets the rule, whatever it
    // is; the rule's filters are ignored. Several positions may be armed.
    void injectFaultAt(uint64_t n, const FaultRule& rule);
    // Internal device controls the PDO has received so far.
    uint64_t internalRequests() const;
    // Faults armed by position that no request has met yet.
    size_t pendingPositionalFaults() const;
    void clearFaults();
    // A STALL: the endpoint's Halt feature is set, and the oldest transfer waiting on it
    // (with none waiting, the next one sent) fails with STATUS_UNSUCCESSFUL /
    // USBD_STATUS_STALL_PID, which halts the pipe. GET_STATUS on the endpoint answers
    // success with Halt = 1, as a USB device does; a getStatusFailure other than
    // STATUS_SUCCESS makes it fail instead (a device that answers not even that), and
    // haltShown false makes it answer Halt = 0 (firmware that does not keep the feature). A
    // pipe reset, a port reset or a new configuration clears it.
    void stallEndpoint(UCHAR endpoint, NTSTATUS getStatusFailure = STATUS_SUCCESS,
                       bool haltShown = true);
    bool isStalled(UCHAR endpoint) const; // the device's Halt feature
    bool isHalted(UCHAR endpoint) const;  // the host's side of the pipe
    // A burst of count transaction errors on the endpoint: the oldest transfer waiting on
    // it fails now (with none waiting, the next one sent), then each later transfer that
    // reaches the wire, until count have failed. Each failure halts the pipe.
    void transactionErrors(UCHAR endpoint, int count, USBD_STATUS status = kUsbdStatusXactError);
    // What GET_PORT_STATUS reports. A connected, disabled port fails URBs with
    // STATUS_DEVICE_DATA_ERROR / USBD_STATUS_DEV_NOT_RESPONDING and delivers no IN data
    // until RESET_PORT enables it; disabling it fails the oldest transfer waiting on each
    // endpoint that way, halting its pipe. A port with nothing connected fails every URB,
    // waiting ones included, with STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE.
    void setPortState(PortState state);
    PortState portState() const;
    // The device disappears: every waiting request is completed with
    // STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE and every later one is refused
    // the same way; the port reports nothing connected. There is no way back.
    void surpriseRemove();
    bool removed() const;
    // Requests a neverComplete fault holds back right now.
    size_t heldRequests() const;
    bool waitForHeldRequests(size_t n, int realTimeoutMs = 5000) const;

    // --- Plug and Play and power -------------------------------------------------------
    // IRP_MN_START_DEVICE sent to the PDO as the PnP manager does, for tests that drive the
    // bus with no device stack above it; the request's status.
    NTSTATUS startDevice();
    bool started() const; // since IRP_MN_START_DEVICE, until a stop or removal
    DEVICE_POWER_STATE powerState() const;

    // --- Inspection ----------------------------------------------------------------------
    std::vector<RequestRecord> requests() const;
    void clearRequests();
    size_t countUrbs(USHORT urbFunction) const;
    size_t countRequests(RequestKind kind) const;
    // Payloads of the OUT transfers that reached the endpoint, in order.
    std::vector<std::vector<uint8_t>> outData(UCHAR endpoint) const;
    bool configured() const;
    UCHAR configurationValue() const; // 0 when unconfigured
    std::vector<PipeSnapshot> pipes() const;
    USBD_PIPE_HANDLE pipeHandle(UCHAR endpoint) const; // null when no such open pipe
    int portResets() const;
    // Requests of every kind that the bus holds right now (waiting, held or queued for
    // completion); 0 means nothing of the driver's is with the bus.
    size_t outstandingRequests() const;

    // Stops the bus thread and completes whatever is still outstanding (as after a
    // removal); returns how many requests that were. Idempotent; the destructor calls it.
    size_t shutdown();

    struct State;

private:
    std::unique_ptr<State> _state;
};

} // namespace usb
} // namespace emu
