// Shared helpers for the USB interface tests: a virtual receiver below a CUsbInterface that
// lives on the stack, the debug log read back by fragment, and pool accounting.
#pragma once

#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "transfer/PoolTag.h"
#include "usb/CUsbInterface.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace usbtest {

using namespace emu::usb;

inline uint64_t livePoolBlocks() {
    return emu::pool::stats(RAVO_POOL_TAG).liveBlocks;
}

// Log lines since the mark that contain the fragment, in order.
inline std::vector<std::string> linesWith(uint64_t mark, const std::string& fragment) {
    std::vector<std::string> out;
    for (const std::string& line : emu::debuglog::textSince(mark))
        if (line.find(fragment) != std::string::npos)
            out.push_back(line);
    return out;
}

inline size_t countSince(uint64_t mark, const std::string& fragment) {
    return emu::debuglog::count(fragment, mark);
}

// The receiver, and a CUsbInterface over it that the test creates when it wants; every test
// checks on its way out that the driver's pool is back where it started.
class UsbFixture : public ::testing::Test {
protected:
    void SetUp() override {
        emu::pool::clearFaults();
        _pool_before = livePoolBlocks();
    }
    void TearDown() override {
        usb.reset();
        bus.reset();
        emu::pool::clearFaults();
        EXPECT_EQ(_pool_before, livePoolBlocks()) << "every driver block freed with the object";
    }
    void makeBus(const ReceiverDescription& model) { bus.emplace(model); }
    void makeBus(DescriptorBytes descriptors = mceReceiverDescriptorBytes()) {
        bus.emplace(std::move(descriptors));
    }
    // A configured interface over the default receiver (or the bus made before).
    CUsbInterface& configured() {
        if (!bus)
            makeBus();
        usb.emplace(bus->pdo());
        EXPECT_EQ(STATUS_SUCCESS, usb->InitDevice()) << "the receiver configures";
        bus->clearRequests();
        return *usb;
    }
    std::vector<RequestRecord> urbs(USHORT function) const {
        std::vector<RequestRecord> out;
        for (const RequestRecord& r : bus->requests())
            if (r.kind == RequestKind::Urb && r.urbFunction == function)
                out.push_back(r);
        return out;
    }

    std::optional<VirtualReceiver> bus;
    std::optional<CUsbInterface> usb;

private:
    uint64_t _pool_before = 0;
};

// One asynchronous transfer's memory, as a caller provides it.
struct Transfer {
    explicit Transfer(CCHAR stack,
                      ULONG urbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        ctx.irp = IoAllocateIrp(stack, FALSE);
        ctx.urb = reinterpret_cast<PURB>(urbMemory);
        ctx.urb_size = urbBytes;
        memset(urbMemory, 0xAB, sizeof urbMemory);
    }
    ~Transfer() { IoFreeIrp(ctx.irp); }
    UsbTransferContext ctx{};
    alignas(16) UCHAR urbMemory[512];
    UCHAR data[128] = {};
};

} // namespace usbtest
