// The virtual receiver's device model: its descriptors and configuration, the pipes a
// configuration opens, what each URB does to the device, the port, and the IN data the
// device sends into waiting transfers.
#include "emu/usbbus/BusState.h"

#include "emu/kernel/Kernel.h"
#include "emu/usbbus/DescriptorWalk.h"

#include <algorithm>
#include <chrono>

namespace emu {
namespace usb {

namespace {

constexpr ULONG kMaxIsoPackets = 1024;

// Handles are values no driver can dereference (non-canonical addresses) and that change
// with every configuration, so that a stale handle is recognised.
PVOID makeHandle(uint64_t generation, UCHAR kind, UCHAR interfaceNumber, ULONG index) {
    uint64_t v = (uint64_t{0xB5} << 56) | ((generation & 0xFFFFFF) << 32) | (uint64_t{kind} << 24) |
                 (uint64_t{interfaceNumber} << 16) | (index & 0xFFFF);
    return reinterpret_cast<PVOID>(static_cast<uintptr_t>(v));
}

USBD_STATUS usbdStatusFor(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return USBD_STATUS_SUCCESS;
        case STATUS_CANCELLED:
            return USBD_STATUS_CANCELED;
        case STATUS_DEVICE_NOT_CONNECTED:
            return USBD_STATUS_DEVICE_GONE;
        case STATUS_DEVICE_DATA_ERROR:
            return USBD_STATUS_DEV_NOT_RESPONDING;
        case STATUS_INVALID_PARAMETER:
            return USBD_STATUS_INVALID_PARAMETER;
        default:
            return NT_SUCCESS(status) ? USBD_STATUS_SUCCESS : USBD_STATUS_STALL_PID;
    }
}

} // namespace

bool isWireError(USBD_STATUS status) {
    return status >= kUsbdStatusCrc && status <= static_cast<USBD_STATUS>(0xC0000014);
}

NTSTATUS wireErrorStatus(USBD_STATUS status) {
    return status == USBD_STATUS_STALL_PID ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_DATA_ERROR;
}

bool VirtualReceiver::State::runningLocked(UCHAR endpoint) const {
    if (!portUsableLocked() || !startedLocked() || power != PowerDeviceD0)
        return false;
    auto found = endpoints.find(endpoint);
    return found == endpoints.end() || !found->second.halted;
}

void VirtualReceiver::State::wireFailureLocked(UCHAR endpoint, USBD_STATUS status) {
    Endpoint& e = endpoints[endpoint];
    e.halted = true;
    if (status == USBD_STATUS_STALL_PID)
        e.stalled = true;
}

bool VirtualReceiver::State::failOldestLocked(UCHAR endpoint, USBD_STATUS status,
                                              std::vector<Completion>& out) {
    for (auto it = parked.begin(); it != parked.end(); ++it) {
        if (it->held || it->cancelling || !it->urb || it->endpoint != endpoint)
            continue;
        Parked p;
        bool claimed;
        claimLocked(it, p, claimed);
        if (!claimed)
            return failOldestLocked(endpoint, status, out); // marked cancelling; look again
        Completion c;
        c.irp = p.irp;
        c.urb = p.urb;
        c.status = wireErrorStatus(status);
        c.usbdStatus = status;
        c.length = 0;
        c.sequence = p.sequence;
        out.push_back(std::move(c));
        wireFailureLocked(endpoint, status);
        return true;
    }
    return false;
}

const Pipe* VirtualReceiver::State::pipeByHandleLocked(USBD_PIPE_HANDLE handle) const {
    if (handle == nullptr)
        return nullptr;
    for (const Pipe& p : openPipes)
        if (p.handle == handle)
            return &p;
    return nullptr;
}

const Pipe* VirtualReceiver::State::pipeByAddressLocked(UCHAR address) const {
    for (const Pipe& p : openPipes)
        if (p.address == address)
            return &p;
    return nullptr;
}

bool VirtualReceiver::State::deliverableLocked() const {
    for (const Parked& p : parked) {
        if (p.held || p.cancelling || !p.endpoint || !runningLocked(*p.endpoint))
            continue;
        if (!p.isoStatus.empty())
            return true;
        auto found = inData.find(*p.endpoint);
        if (found != inData.end() && !found->second.empty())
            return true;
    }
    return false;
}

// Builds the completion of the first waiting transfer that can be satisfied now.
bool VirtualReceiver::State::takeDeliveryLocked(Completion& out) {
    for (auto it = parked.begin(); it != parked.end(); ++it) {
        if (it->held || it->cancelling || !it->endpoint || !runningLocked(*it->endpoint))
            continue;
        auto& queue = inData[*it->endpoint];
        if (queue.empty() && it->isoStatus.empty())
            continue;
        Parked p;
        bool claimed;
        claimLocked(it, p, claimed);
        if (!claimed)
            return takeDeliveryLocked(out); // marked cancelling; look again
        out = Completion();
        out.irp = p.irp;
        out.urb = p.urb;
        out.sequence = p.sequence;
        if (p.urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER)
            fillIsoLocked(p, queue, out);
        else
            fillBulkLocked(p, queue, out);
        return true;
    }
    return false;
}

void VirtualReceiver::State::takeBytes(std::deque<std::vector<uint8_t>>& queue, ULONG capacity,
                                       std::vector<uint8_t>& bytes) {
    std::vector<uint8_t>& front = queue.front();
    size_t n = std::min<size_t>(capacity, front.size());
    bytes.assign(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    if (n < front.size())
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(n));
    else
        queue.pop_front();
}

void VirtualReceiver::State::fillBulkLocked(Parked& p, std::deque<std::vector<uint8_t>>& queue,
                                            Completion& out) {
    takeBytes(queue, p.requested, out.bytes);
    out.destination = p.buffer;
    out.length = static_cast<ULONG>(out.bytes.size());
    out.status = STATUS_SUCCESS;
    out.usbdStatus = USBD_STATUS_SUCCESS;
}

void VirtualReceiver::State::fillIsoLocked(Parked& p, std::deque<std::vector<uint8_t>>& queue,
                                           Completion& out) {
    auto& iso = p.urb->UrbIsochronousTransfer;
    PUSBD_ISO_PACKET_DESCRIPTOR packets = iso.IsoPacket;
    ULONG count = iso.NumberOfPackets;
    out.iso = true;
    out.destination = p.buffer;
    ULONG total = 0;
    ULONG failed = 0;
    for (ULONG i = 0; i < count; ++i) {
        ULONG end = i + 1 < count ? packets[i + 1].Offset : p.requested;
        IsoFill fill{packets[i].Offset, USBD_STATUS_SUCCESS, {}};
        if (i < p.isoStatus.size() && !USBD_SUCCESS(p.isoStatus[i])) {
            fill.status = p.isoStatus[i];
            ++failed;
        } else {
            if (i < p.isoStatus.size())
                fill.status = p.isoStatus[i];
            if (!queue.empty())
                takeBytes(queue, end - packets[i].Offset, fill.bytes);
            total += static_cast<ULONG>(fill.bytes.size());
        }
        out.isoPackets.push_back(std::move(fill));
    }
    iso.ErrorCount = failed;
    out.length = total;
    if (count > 0 && failed == count) {
        out.status = STATUS_UNSUCCESSFUL;
        out.usbdStatus = kUsbdStatusIsochRequestFailed;
    } else {
        out.status = STATUS_SUCCESS;
        out.usbdStatus = USBD_STATUS_SUCCESS;
    }
}

// Validates and carries out one URB; fills the log record's request fields.
Outcome VirtualReceiver::State::portRequestLocked(ULONG code, PVOID argument) {
    Outcome o;
    std::optional<FaultRule> fault = takeFaultLocked(std::nullopt, std::nullopt, code);
    if (fault) {
        if (fault->neverComplete)
            o.kind = Outcome::Hold;
        else
            o = Outcome::fail(fault->status, 0);
    } else if (!startedLocked()) {
        o = Outcome::fail(STATUS_DEVICE_NOT_CONNECTED, 0);
    } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
        if (argument == nullptr) {
            o = Outcome::fail(STATUS_INVALID_PARAMETER, 0);
        } else {
            ULONG bits = 0;
            if (!removedFlag && port.connected) {
                bits |= USBD_PORT_CONNECTED;
                if (port.enabled)
                    bits |= USBD_PORT_ENABLED;
            }
            *static_cast<ULONG*>(argument) = bits;
        }
    } else if (removedFlag || !port.connected) {
        o = Outcome::fail(STATUS_DEVICE_NOT_CONNECTED, 0);
    } else {
        // A reset brings the port back: the device is reset (its endpoints' Halt
        // features clear) and its configuration restored, with the pipes opened afresh.
        port.enabled = true;
        endpoints.clear();
        ++resets;
        changed.notify_all();
    }
    return o;
}

Outcome VirtualReceiver::State::handleUrbLocked(PURB urb, RequestRecord& r,
                                                std::vector<Completion>& others, UCHAR*& buffer,
                                                ULONG& requested,
                                                std::vector<USBD_STATUS>& isoStatus) {
    USHORT function = urb->UrbHeader.Function;
    USHORT length = urb->UrbHeader.Length;
    if (length < sizeof(struct _URB_HEADER))
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

    if (function == URB_FUNCTION_ABORT_PIPE) {
        // Host-side: works whatever the state of the device.
        if (length < sizeof(struct _URB_PIPE_REQUEST))
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        r.pipeHandle = urb->UrbPipeRequest.PipeHandle;
        const Pipe* pipe = pipeByHandleLocked(r.pipeHandle);
        if (pipe == nullptr)
            return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle);
        UCHAR address = pipe->address;
        r.endpoint = address;
        if (std::optional<FaultRule> f = takeFaultLocked(function, address, std::nullopt))
            return faultOutcome(*f);
        failParkedLocked([address](const Parked& p) { return p.endpoint == address; },
                         STATUS_CANCELLED, USBD_STATUS_CANCELED, others);
        return Outcome::ok();
    }

    // The hub fails a URB for a device it has not started, or that is gone or removed,
    // and one for a device outside D0, which it does not wake for a request.
    if (!presentLocked())
        return Outcome::fail(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE,
                             zeroLengthFor(function));
    if (power != PowerDeviceD0)
        return Outcome::fail(kStatusDevicePoweredOff, USBD_STATUS_DEV_NOT_RESPONDING,
                             zeroLengthFor(function));
    if (!port.enabled)
        return Outcome::fail(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING,
                             zeroLengthFor(function));

    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return getDescriptorLocked(urb, r);
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return selectConfigurationLocked(urb, r, others);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return bulkLocked(urb, r, buffer, requested);
        case URB_FUNCTION_ISOCH_TRANSFER:
            return isochLocked(urb, r, buffer, requested, isoStatus);
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            return endpointStatusLocked(urb, r);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
            if (length < sizeof(struct _URB_PIPE_REQUEST))
                return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
            r.pipeHandle = urb->UrbPipeRequest.PipeHandle;
            const Pipe* pipe = pipeByHandleLocked(r.pipeHandle);
            if (pipe == nullptr)
                return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle);
            r.endpoint = pipe->address;
            if (std::optional<FaultRule> f = takeFaultLocked(function, pipe->address, std::nullopt))
                return faultOutcome(*f);
            // CLEAR_FEATURE(ENDPOINT_HALT) to the device and the host's pipe started again:
            // transfers still waiting on it move data from now on.
            endpoints.erase(pipe->address);
            changed.notify_all();
            return Outcome::ok();
        }
        default:
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

std::optional<ULONG> VirtualReceiver::State::zeroLengthFor(USHORT function) {
    switch (function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        case URB_FUNCTION_ISOCH_TRANSFER:
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
            return 0;
        default:
            return std::nullopt;
    }
}

Outcome VirtualReceiver::State::getDescriptorLocked(PURB urb, RequestRecord& r) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    auto& d = urb->UrbControlDescriptorRequest;
    r.descriptorType = d.DescriptorType;
    r.descriptorIndex = d.Index;
    r.requestedLength = d.TransferBufferLength;
    if (d.TransferBufferLength > 0 && d.TransferBuffer == nullptr)
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    if (std::optional<FaultRule> f =
            takeFaultLocked(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, std::nullopt, std::nullopt))
        return faultOutcome(*f);
    const std::vector<uint8_t>* bytes = nullptr;
    if (d.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE)
        bytes = &descriptors.device;
    else if (d.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE &&
             d.Index < descriptors.configurations.size())
        bytes = &descriptors.configurations[d.Index];
    if (bytes == nullptr) // the device stalls a request for a descriptor it has not
        return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
    // A control transfer moves at most 65535 bytes (wLength).
    size_t n = std::min<size_t>({d.TransferBufferLength, bytes->size(), 0xFFFF});
    if (n > 0)
        memcpy(d.TransferBuffer, bytes->data(), n);
    return Outcome::ok(static_cast<ULONG>(n));
}

Outcome VirtualReceiver::State::endpointStatusLocked(PURB urb, RequestRecord& r) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST))
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    auto& g = urb->UrbControlGetStatusRequest;
    r.requestedLength = g.TransferBufferLength;
    UCHAR address = static_cast<UCHAR>(g.Index & 0xFF);
    r.endpoint = address;
    r.pipeHandle = g.Reserved;
    if (g.TransferBufferLength < 2 || g.TransferBuffer == nullptr)
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    if (std::optional<FaultRule> f =
            takeFaultLocked(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT, address, std::nullopt))
        return faultOutcome(*f);
    bool defaultPipe = (address & 0x7F) == 0;
    if (!defaultPipe && pipeByAddressLocked(address) == nullptr)
        return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
    // Bit 0 is the device's Halt feature; a halt of the host's side alone does not show.
    UCHAR halted = 0;
    auto found = endpoints.find(address);
    if (found != endpoints.end() && found->second.stalled) {
        NTSTATUS failure = found->second.getStatusFailure;
        if (!NT_SUCCESS(failure))
            return Outcome::fail(failure, usbdStatusFor(failure), 0);
        halted = found->second.haltShown ? 1 : 0;
    }
    auto* word = static_cast<UCHAR*>(g.TransferBuffer);
    word[0] = halted;
    word[1] = 0;
    return Outcome::ok(2);
}

Outcome VirtualReceiver::State::bulkLocked(PURB urb, RequestRecord& r, UCHAR*& buffer,
                                           ULONG& requested) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    auto& t = urb->UrbBulkOrInterruptTransfer;
    r.pipeHandle = t.PipeHandle;
    r.transferFlags = t.TransferFlags;
    r.requestedLength = t.TransferBufferLength;
    const Pipe* pipe = pipeByHandleLocked(t.PipeHandle);
    if (pipe == nullptr)
        return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle, 0);
    r.endpoint = pipe->address;
    if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    if (t.TransferBufferLength > 0 && t.TransferBuffer == nullptr)
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    bool in = USB_ENDPOINT_DIRECTION_IN(pipe->address) != 0;
    if (!in && t.TransferBufferLength > 0) {
        auto* data = static_cast<const uint8_t*>(t.TransferBuffer);
        r.outData.assign(data, data + t.TransferBufferLength);
    }
    // A halted pipe sends nothing to the device; positional faults count the request all
    // the same.
    std::optional<FaultRule> f = takePositionalLocked();
    if (!f && endpoints[pipe->address].halted)
        return Outcome::fail(STATUS_UNSUCCESSFUL, kUsbdStatusEndpointHalted, 0);
    if (!f)
        f = takeFaultLocked(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, pipe->address, std::nullopt);
    if (f) {
        if (!f->neverComplete && isWireError(f->usbdStatus))
            wireFailureLocked(pipe->address, f->usbdStatus);
        return faultOutcome(*f);
    }
    if (endpoints[pipe->address].stalled) {
        wireFailureLocked(pipe->address, USBD_STATUS_STALL_PID);
        return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
    }
    if (!in)
        return Outcome::ok(t.TransferBufferLength);
    if (t.TransferBufferLength == 0)
        return Outcome::ok(0);
    buffer = static_cast<UCHAR*>(t.TransferBuffer);
    requested = t.TransferBufferLength;
    Outcome o;
    o.kind = Outcome::Wait;
    return o;
}

Outcome VirtualReceiver::State::isochLocked(PURB urb, RequestRecord& r, UCHAR*& buffer,
                                            ULONG& requested, std::vector<USBD_STATUS>& isoStatus) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_ISOCH_TRANSFER))
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    auto& t = urb->UrbIsochronousTransfer;
    r.pipeHandle = t.PipeHandle;
    r.transferFlags = t.TransferFlags;
    r.requestedLength = t.TransferBufferLength;
    r.isoPackets = t.NumberOfPackets;
    ULONG count = t.NumberOfPackets;
    if (count == 0 || count > kMaxIsoPackets || urb->UrbHeader.Length < GET_ISO_URB_SIZE(count))
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    const Pipe* pipe = pipeByHandleLocked(t.PipeHandle);
    if (pipe == nullptr)
        return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidPipeHandle, 0);
    r.endpoint = pipe->address;
    if (pipe->type != UsbdPipeTypeIsochronous)
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    if (t.TransferBufferLength > 0 && t.TransferBuffer == nullptr)
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    // Packet offsets must rise and stay inside the buffer: they say where data goes.
    PUSBD_ISO_PACKET_DESCRIPTOR packets = t.IsoPacket;
    for (ULONG i = 0; i < count; ++i) {
        ULONG end = i + 1 < count ? packets[i + 1].Offset : t.TransferBufferLength;
        if (packets[i].Offset > end || end > t.TransferBufferLength)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER, 0);
    }
    bool in = USB_ENDPOINT_DIRECTION_IN(pipe->address) != 0;
    if (!in && t.TransferBufferLength > 0) {
        auto* data = static_cast<const uint8_t*>(t.TransferBuffer);
        r.outData.assign(data, data + t.TransferBufferLength);
    }
    std::optional<FaultRule> f =
        takeFaultLocked(URB_FUNCTION_ISOCH_TRANSFER, pipe->address, std::nullopt);
    if (f && f->isoPacketStatus.empty())
        return faultOutcome(*f);
    if (endpoints[pipe->address].stalled)
        return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
    if (f)
        isoStatus = f->isoPacketStatus;
    buffer = static_cast<UCHAR*>(t.TransferBuffer);
    requested = t.TransferBufferLength;
    if (!in) {
        t.ErrorCount = 0;
        ULONG failed = 0;
        for (ULONG i = 0; i < count; ++i) {
            packets[i].Status = i < isoStatus.size() ? isoStatus[i] : USBD_STATUS_SUCCESS;
            if (!USBD_SUCCESS(packets[i].Status))
                ++failed;
        }
        t.ErrorCount = failed;
        if (failed == count)
            return Outcome::fail(STATUS_UNSUCCESSFUL, kUsbdStatusIsochRequestFailed,
                                 t.TransferBufferLength);
        return Outcome::ok(t.TransferBufferLength);
    }
    Outcome o;
    o.kind = Outcome::Wait; // with packet statuses to report it is delivered at once
    return o;
}

Outcome VirtualReceiver::State::selectConfigurationLocked(PURB urb, RequestRecord&,
                                                          std::vector<Completion>& others) {
    constexpr size_t kRecordsOffset = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    constexpr size_t kRecordHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    size_t urbLength = urb->UrbHeader.Length;
    if (urbLength < kRecordsOffset)
        return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (std::optional<FaultRule> f =
            takeFaultLocked(URB_FUNCTION_SELECT_CONFIGURATION, std::nullopt, std::nullopt))
        return faultOutcome(*f, std::nullopt);
    auto& sel = urb->UrbSelectConfiguration;
    PUSB_CONFIGURATION_DESCRIPTOR config = sel.ConfigurationDescriptor;

    auto closeAll = [&] {
        failParkedLocked([](const Parked& p) { return p.urb != nullptr && !p.held; },
                         STATUS_CANCELLED, USBD_STATUS_CANCELED, others);
        openPipes.clear();
        endpoints.clear();
        ++generation;
    };

    if (config == nullptr) { // back to the unconfigured state
        closeAll();
        isConfigured = false;
        configValue = 0;
        sel.ConfigurationHandle = nullptr;
        return Outcome::ok();
    }

    auto* base = reinterpret_cast<const UCHAR*>(config);
    size_t total = config->wTotalLength;
    if (total < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        config->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE)
        return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInvalidConfigurationDescriptor);
    bool known = false;
    for (const auto& bytes : descriptors.configurations)
        if (bytes.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
            bytes[5] == config->bConfigurationValue)
            known = true;
    if (!known) // the device refuses SET_CONFIGURATION with a value it does not have
        return Outcome::fail(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);

    // Check every record first, so that a refused request changes nothing.
    struct Planned {
        size_t recordOffset;
        size_t interfaceOffset;
        std::vector<size_t> endpointOffsets;
    };
    std::vector<Planned> plan;
    auto* urbBytes = reinterpret_cast<UCHAR*>(urb);
    size_t offset = kRecordsOffset;
    for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
        if (urbLength - offset < kRecordHeader)
            break; // the request holds fewer records than the configuration declares
        auto* rec = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(urbBytes + offset);
        if (rec->Length < kRecordHeader || rec->Length > urbLength - offset)
            return Outcome::fail(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        size_t at = detail::findInterface(base, total, 0, rec->InterfaceNumber,
                                          rec->AlternateSetting, -1, -1, -1);
        if (at >= total)
            return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusInterfaceNotFound);
        auto* ifd = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(base + at);
        if (rec->Length < GET_USBD_INTERFACE_SIZE(ifd->bNumEndpoints))
            return Outcome::fail(STATUS_INVALID_PARAMETER, kUsbdStatusBufferTooSmall);
        Planned p{offset, at, {}};
        detail::walkDescriptors(
            base, total, at + ifd->bLength, [&](size_t o, size_t len, UCHAR type) {
                if (type == USB_INTERFACE_DESCRIPTOR_TYPE ||
                    p.endpointOffsets.size() >= ifd->bNumEndpoints)
                    return false;
                if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= sizeof(USB_ENDPOINT_DESCRIPTOR))
                    p.endpointOffsets.push_back(o);
                return true;
            });
        if (p.endpointOffsets.size() < ifd->bNumEndpoints)
            return Outcome::fail(STATUS_INVALID_PARAMETER,
                                 kUsbdStatusInvalidConfigurationDescriptor);
        plan.push_back(std::move(p));
        offset += rec->Length;
    }

    closeAll();
    for (const Planned& p : plan) {
        auto* rec = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(urbBytes + p.recordOffset);
        auto* ifd = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(base + p.interfaceOffset);
        rec->Class = ifd->bInterfaceClass;
        rec->SubClass = ifd->bInterfaceSubClass;
        rec->Protocol = ifd->bInterfaceProtocol;
        rec->InterfaceHandle = makeHandle(generation, 1, ifd->bInterfaceNumber, 0);
        rec->NumberOfPipes = static_cast<ULONG>(p.endpointOffsets.size());
        PUSBD_PIPE_INFORMATION pipes = rec->Pipes;
        for (size_t e = 0; e < p.endpointOffsets.size(); ++e) {
            auto* ep =
                reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(base + p.endpointOffsets[e]);
            Pipe pipe;
            pipe.interfaceNumber = ifd->bInterfaceNumber;
            pipe.alternateSetting = ifd->bAlternateSetting;
            pipe.index = static_cast<ULONG>(e);
            pipe.address = ep->bEndpointAddress;
            pipe.type = static_cast<USBD_PIPE_TYPE>(ep->bmAttributes & USB_ENDPOINT_TYPE_MASK);
            pipe.maxPacketSize = static_cast<USHORT>(ep->wMaxPacketSize & 0x7FF);
            pipe.handle = makeHandle(generation, 2, ifd->bInterfaceNumber, static_cast<ULONG>(e));
            pipes[e].MaximumPacketSize = pipe.maxPacketSize;
            pipes[e].EndpointAddress = pipe.address;
            pipes[e].Interval = ep->bInterval;
            pipes[e].PipeType = pipe.type;
            pipes[e].PipeHandle = pipe.handle;
            openPipes.push_back(pipe);
        }
    }
    isConfigured = true;
    configValue = config->bConfigurationValue;
    sel.ConfigurationHandle = makeHandle(generation, 0, 0, configValue);
    return Outcome::ok();
}

const DescriptorBytes& VirtualReceiver::descriptors() const {
    return _state->descriptors;
}

void VirtualReceiver::queueInPacket(std::vector<uint8_t> bytes, UCHAR endpoint) {
    std::lock_guard<std::mutex> guard(_state->lock);
    using Pnp = State::Pnp;
    // A removed device sends nothing; one the hub has stopped or disabled is unconfigured,
    // and hears nothing for its data endpoint.
    if (_state->removedFlag || _state->pnp == Pnp::Stopped || _state->pnp == Pnp::Removed)
        return;
    _state->inData[endpoint].push_back(std::move(bytes));
    _state->changed.notify_all();
}

size_t VirtualReceiver::queuedInPackets(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    auto found = _state->inData.find(endpoint);
    return found == _state->inData.end() ? 0 : found->second.size();
}

size_t VirtualReceiver::waitingTransfers(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return static_cast<size_t>(
        std::count_if(_state->parked.begin(), _state->parked.end(), [endpoint](const Parked& p) {
            return !p.held && !p.cancelling && p.endpoint == endpoint;
        }));
}

bool VirtualReceiver::waitForWaitingTransfers(size_t n, UCHAR endpoint, int realTimeoutMs) const {
    std::unique_lock<std::mutex> guard(_state->lock);
    return _state->changed.wait_for(guard, std::chrono::milliseconds(realTimeoutMs), [&] {
        size_t count = 0;
        for (const Parked& p : _state->parked)
            if (!p.held && !p.cancelling && p.endpoint == endpoint)
                ++count;
        return count >= n;
    });
}

std::vector<std::vector<uint8_t>> VirtualReceiver::outData(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    std::vector<std::vector<uint8_t>> out;
    for (const RequestRecord& r : _state->log)
        if (r.kind == RequestKind::Urb && r.endpoint == endpoint && !(endpoint & 0x80) &&
            (r.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
             r.urbFunction == URB_FUNCTION_ISOCH_TRANSFER) &&
            NT_SUCCESS(r.status) && r.completed)
            out.push_back(r.outData);
    return out;
}

bool VirtualReceiver::configured() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->isConfigured;
}

UCHAR VirtualReceiver::configurationValue() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->configValue;
}

std::vector<PipeSnapshot> VirtualReceiver::pipes() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    std::vector<PipeSnapshot> out;
    for (const Pipe& p : _state->openPipes) {
        auto found = _state->endpoints.find(p.address);
        out.push_back(PipeSnapshot{p.interfaceNumber, p.alternateSetting, p.index, p.address,
                                   p.type, p.maxPacketSize, p.handle,
                                   found != _state->endpoints.end() && found->second.stalled});
    }
    return out;
}

USBD_PIPE_HANDLE VirtualReceiver::pipeHandle(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(_state->lock);
    const Pipe* p = _state->pipeByAddressLocked(endpoint);
    return p ? p->handle : nullptr;
}

int VirtualReceiver::portResets() const {
    std::lock_guard<std::mutex> guard(_state->lock);
    return _state->resets;
}
} // namespace usb
} // namespace emu
