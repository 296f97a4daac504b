#include "tools/faults/Hostile.h"

#include "emu/kernel/Kernel.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace faults {

namespace {

using emu::usb::DescriptorBytes;
using emu::usb::ReceiverDescription;
using Bytes = std::vector<uint8_t>;

constexpr UCHAR kIrEndpoint = 0x81;

std::function<DescriptorBytes()> model(std::function<void(ReceiverDescription&)> change) {
    return [change] {
        ReceiverDescription receiver = emu::usb::mceReceiverModel();
        change(receiver);
        return emu::usb::buildDescriptors(receiver);
    };
}

emu::usb::EndpointDescription& irEndpoint(ReceiverDescription& r) {
    return r.configurations[0].interfaces[0].endpoints[0];
}

// The default receiver's bytes with the configuration set changed by hand.
std::function<DescriptorBytes()> patched(std::function<void(DescriptorBytes&)> change) {
    return [change] {
        DescriptorBytes bytes = emu::usb::mceReceiverDescriptorBytes();
        change(bytes);
        return bytes;
    };
}

// Offset of the IR endpoint's descriptor in the configuration set.
size_t irEndpointAt(const Bytes& config) {
    for (size_t at = 0; at + 2 < config.size(); at++)
        if (config[at] == 7 && config[at + 1] == 5 && config[at + 2] == kIrEndpoint)
            return at;
    return 0;
}

std::function<void(Stack&)> sends(std::vector<Bytes> packets) {
    return [packets](Stack& stack) {
        for (const Bytes& packet : packets)
            stack.receiver().queueInPacket(packet);
        stack.receiver().waitUntilIdle();
    };
}

Bytes noise(size_t length, uint32_t seed) {
    Bytes bytes(length);
    for (auto& b : bytes) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return bytes;
}

std::function<void(Stack&)> holdsFirst(USHORT urbFunction) {
    return [urbFunction](Stack& stack) {
        emu::usb::FaultRule late;
        late.urbFunction = urbFunction;
        late.neverComplete = true;
        stack.receiver().injectFault(late);
    };
}

// A key, then the fault while the reads wait for the next one; the key pressed after it
// must arrive whole, and no key twice.
// The parse thread recovers a pipe that fails every read; a read that fails with a
// device error has the next read recover it.
const char* const kParseThreadRecovers = "aborting and resetting it";
const char* const kNextReadRecovers = "UsbAsyncIo_BULK() : device IO error occured before";

HostileCase* duringKeys(HostileCase* h, const char* recovery,
                        std::function<void(emu::usb::VirtualReceiver&)> fault) {
    h->after = [fault](Stack& stack) {
        stack.press({0x54});
        fault(stack.receiver());
    };
    h->reportsDuring = 2;
    h->message = recovery;
    return h;
}

void vanishOnceHeld(Stack& stack) {
    if (stack.receiver().waitForHeldRequests(1))
        stack.receiver().surpriseRemove();
}

std::vector<HostileCase> build() {
    std::vector<HostileCase> c;
    c.reserve(64); // add() hands out pointers into it
    auto add = [&c](std::string name, Expect expect, std::function<DescriptorBytes()> device) {
        HostileCase h;
        h.name = std::move(name);
        h.expect = expect;
        // What the driver says of each outcome; cases may ask for more.
        h.message = expect == Expect::Refused ? "Device configuration failed!"
                    : expect == Expect::Inert ? "has no IR input pipe"
                    : expect == Expect::Gone  ? "IRP_MN_SURPRISE_REMOVAL"
                                              : "";
        h.device =
            device ? std::move(device) : [] { return emu::usb::mceReceiverDescriptorBytes(); };
        c.push_back(std::move(h));
        return &c.back();
    };
    const auto R = Expect::Refused;
    const auto W = Expect::Works;
    const auto G = Expect::Gone;
    const auto I = Expect::Inert;

    // --- Descriptors that lie --------------------------------------------------------------
    add("wTotalLength longer than what is sent", R,
        model([](auto& r) { r.configurations[0].totalLengthOverride = 200; }));
    add("wTotalLength cuts the endpoints off", R,
        model([](auto& r) { r.configurations[0].totalLengthOverride = 18; }));
    add("wTotalLength shorter than its own header", R,
        model([](auto& r) { r.configurations[0].totalLengthOverride = 4; }));
    add("vendor descriptors past the first read", W,
        model([](auto& r) { r.configurations[0].padToTotalLength = 300; }));
    add("bNumInterfaces 0", I,
        model([](auto& r) { r.configurations[0].numInterfacesOverride = 0; }));
    add("bNumInterfaces 4, one sent", W,
        model([](auto& r) { r.configurations[0].numInterfacesOverride = 4; }));
    add("bNumEndpoints 7, three sent", R,
        model([](auto& r) { r.configurations[0].interfaces[0].numEndpointsOverride = 7; }));
    add("bNumEndpoints 0, three sent", I,
        model([](auto& r) { r.configurations[0].interfaces[0].numEndpointsOverride = 0; }));
    add("bNumConfigurations 0", R, model([](auto& r) { r.numConfigurationsOverride = 0; }));
    add("bNumConfigurations 3, one sent", R,
        model([](auto& r) { r.numConfigurationsOverride = 3; }));
    add("no endpoints at all", I,
        model([](auto& r) { r.configurations[0].interfaces[0].endpoints.clear(); }));
    add("IR endpoint is an interrupt endpoint", W,
        model([](auto& r) { irEndpoint(r).type = emu::usb::kInterrupt; }));
    add("IR endpoint is isochronous", I,
        model([](auto& r) { irEndpoint(r).type = emu::usb::kIsochronous; }));
    add("IR endpoint is isochronous with 8-byte packets", I, model([](auto& r) {
            irEndpoint(r).type = emu::usb::kIsochronous;
            irEndpoint(r).maxPacketSize = 8; // 4 packets a read, a request no read's URB holds
        }));
    add("IR endpoint is an OUT endpoint", I, model([](auto& r) { irEndpoint(r).address = 0x01; }));
    add("IR endpoint's packets are 0 bytes", I,
        model([](auto& r) { irEndpoint(r).maxPacketSize = 0; }));
    add("IR endpoint's packets are 8 bytes", W,
        model([](auto& r) { irEndpoint(r).maxPacketSize = 8; }));
    add("IR endpoint's packets are 1023 bytes", W,
        model([](auto& r) { irEndpoint(r).maxPacketSize = 1023; }));
    add("an endpoint descriptor of length 0", R, patched([](DescriptorBytes& d) {
            d.configurations[0][irEndpointAt(d.configurations[0])] = 0;
        }));
    add("an endpoint descriptor running past the end", R, patched([](DescriptorBytes& d) {
            d.configurations[0][irEndpointAt(d.configurations[0])] = 0xFF;
        }));
    add("a device descriptor of 8 bytes", R,
        patched([](DescriptorBytes& d) { d.device.resize(8); }));
    add("a device descriptor of another type", W,
        patched([](DescriptorBytes& d) { d.device[1] = 2; }));
    add("no configuration descriptor at all", R,
        patched([](DescriptorBytes& d) { d.configurations.clear(); }));

    // --- Packets no receiver should send ------------------------------------------------
    add("200 zero-length packets", W, nullptr)->after = sends(std::vector<Bytes>(200, Bytes{}));
    add("a 4096-byte packet of noise", W, nullptr)->after = sends({noise(4096, 7)});
    add("packets longer than the endpoint's 64 bytes", W, nullptr)->after =
        sends({noise(65, 1), noise(200, 2), Bytes{0x80}});
    add("headers that claim more than the packet holds", W, nullptr)->after =
        sends({{0x84, 0x10}, {0x9F}, {0xFF, 0x01}, {0xE3}, Bytes{0x80}});
    add("2000 packets of noise", W, nullptr)->after = [](Stack& stack) {
        for (uint32_t seed = 1; seed <= 2000; seed++)
            stack.receiver().queueInPacket(noise(1 + seed % 32, seed));
        stack.receiver().queueInPacket({0x80});
        stack.receiver().waitUntilIdle();
    };
    add("a mark that never ends", W, nullptr)->after = [](Stack& stack) {
        for (int i = 0; i < 500; i++)
            stack.receiver().queueInPacket(Bytes{0x84, 0x7F, 0x7F, 0x7F, 0x7F});
        stack.receiver().queueInPacket(Bytes{0x84, 0x7F, 0x01, 0x02, 0x03, 0x80});
        stack.receiver().waitUntilIdle();
    };

    // --- Answers too late, devices that vanish ------------------------------------------
    const char* timedOut = "Error Status = c00000b5";
    HostileCase* h = add("answers the descriptor request too late", R, nullptr);
    h->before = holdsFirst(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    h->message = timedOut;
    h = add("answers the configuration too late", R, nullptr);
    h->before = holdsFirst(URB_FUNCTION_SELECT_CONFIGURATION);
    h->message = timedOut;
    h = add("vanishes while its descriptor is read", G, nullptr);
    h->before = holdsFirst(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    h->duringStart = vanishOnceHeld;
    h = add("vanishes while its configuration is chosen", G, nullptr);
    h->before = holdsFirst(URB_FUNCTION_SELECT_CONFIGURATION);
    h->duringStart = vanishOnceHeld;
    add("vanishes while reads wait for data", G, nullptr)->after = [](Stack& stack) {
        stack.receiver().surpriseRemove();
    };
    add("vanishes in the middle of a key", G, nullptr)->after = [](Stack& stack) {
        stack.receiver().queueInPacket(Bytes{0x84, 0x7F, 0x01, 0x7F});
        stack.receiver().queueInPacket(Bytes{0x83, 0x12, 0x90});
        stack.receiver().surpriseRemove();
    };
    // --- Endpoints that halt, ports disabled, in the middle of a stream of keys -------------
    using Bus = emu::usb::VirtualReceiver;
    duringKeys(add("stalls its IR endpoint", W, nullptr), kParseThreadRecovers,
               [](Bus& bus) { bus.stallEndpoint(kIrEndpoint); });
    duringKeys(add("stalls its IR endpoint and fails GET_STATUS", W, nullptr), kParseThreadRecovers,
               [](Bus& bus) { bus.stallEndpoint(kIrEndpoint, STATUS_UNSUCCESSFUL); });
    duringKeys(add("stalls its IR endpoint and hides its Halt bit", W, nullptr),
               kParseThreadRecovers,
               [](Bus& bus) { bus.stallEndpoint(kIrEndpoint, STATUS_SUCCESS, false); });
    duringKeys(add("a burst of transaction errors", W, nullptr), kNextReadRecovers,
               [](Bus& bus) { bus.transactionErrors(kIrEndpoint, 5); });
    duringKeys(add("babbles on its IR endpoint", W, nullptr), kNextReadRecovers, [](Bus& bus) {
        bus.transactionErrors(kIrEndpoint, 1, emu::usb::kUsbdStatusBabbleDetected);
    });
    duringKeys(add("its port is disabled", W, nullptr), kNextReadRecovers, [](Bus& bus) {
        bus.setPortState(emu::usb::PortState{false, true});
    });
    return c;
}

} // namespace

const std::vector<HostileCase>& hostileReceivers() {
    static const std::vector<HostileCase> cases = build();
    return cases;
}

std::string hostileRun(const HostileCase& hostile) {
    Stack stack(hostile.device());
    if (hostile.before)
        hostile.before(stack);
    NTSTATUS up = STATUS_UNSUCCESSFUL;
    if (hostile.duringStart) {
        std::thread start([&] { up = stack.bringUp(); });
        hostile.duringStart(stack);
        start.join();
    } else {
        up = stack.bringUp();
    }
    std::string why;
    char status[64];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(up));
    switch (hostile.expect) {
        case Expect::Refused:
            if (NT_SUCCESS(up))
                why = "the driver started on it";
            break;
        case Expect::Works:
            if (!NT_SUCCESS(up)) {
                why = std::string("the start failed with ") + status + ": " +
                      stack.hidclass().lastError();
                break;
            }
            {
                const size_t before = stack.hidclass().keys().delivered();
                if (hostile.after)
                    hostile.after(stack);
                const size_t during = stack.hidclass().keys().delivered() - before;
                const size_t reports = stack.press({0x16});
                if (during != hostile.reportsDuring)
                    why = std::to_string(during) + " report(s) while it misbehaved, " +
                          std::to_string(hostile.reportsDuring) + " expected";
                else if (reports != 2)
                    why = "the key after it gave " + std::to_string(reports) + " of 2 reports";
            }
            break;
        case Expect::Inert:
            if (!NT_SUCCESS(up))
                why = std::string("the start failed with ") + status;
            else if (stack.press({0x16}) != 0)
                why = "keys came from a receiver the driver cannot read";
            break;
        case Expect::Gone:
            if (NT_SUCCESS(up) && hostile.after)
                hostile.after(stack);
            stack.unplug();
            break;
    }
    const std::vector<std::string> errors = stack.errors();
    if (why.empty() && (hostile.expect == Expect::Refused || hostile.expect == Expect::Inert) &&
        errors.empty())
        why = "no error message";
    if (why.empty() && !hostile.message.empty() && !stack.said(hostile.message))
        why = "no message saying \"" + hostile.message + "\"";
    if (!why.empty())
        why += stack.lastErrors(8);
    stack.stop();
    std::string left = stack.tearDown();
    if (!why.empty() || !left.empty())
        return why + (why.empty() || left.empty() ? "" : "; ") + left;
    std::string said = errors.empty() ? "no error" : errors.front();
    said.erase(std::remove(said.begin(), said.end(), '\n'), said.end());
    return std::string("ok ") + (NT_SUCCESS(up) ? "started" : status) + "; " +
           std::to_string(errors.size()) + " error line(s), first: " + said;
}

} // namespace faults
