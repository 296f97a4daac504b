// Shared helpers for the USB interface tests: a virtual receiver below a CUsbInterface that
// lives on the stack, the debug log read back by fragment, and pool accounting.
#pragma once

#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "transfer/PoolTag.h"
#include "usb/CUsbInterface.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
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

// Collects transfer callbacks from whatever thread the bus completes on.
struct Completion {
    UsbTransferContext* context;
    NTSTATUS status;
    ULONG length;
    KIRQL irql;
};
struct Recorder {
    static void callback(PVOID self, NTSTATUS status, ULONG length, UsbTransferContext* context) {
        auto* r = static_cast<Recorder*>(self);
        std::lock_guard<std::mutex> guard(r->lock);
        r->done.push_back({context, status, length, KeGetCurrentIrql()});
        r->changed.notify_all();
    }
    bool waitFor(size_t n) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(5), [&] { return done.size() >= n; });
    }
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Completion> done;
};

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
    void makeBus(const ReceiverDescription& model) { makeBus(buildDescriptors(model)); }
    void makeBus(DescriptorBytes descriptors = mceReceiverDescriptorBytes()) {
        bus.emplace(std::move(descriptors));
        EXPECT_EQ(STATUS_SUCCESS, bus->startDevice()); // no URB reaches a PDO before its start
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
    Transfer(CCHAR stack, Recorder& recorder,
             ULONG urbBytes = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) {
        ctx.irp = IoAllocateIrp(stack, FALSE);
        ctx.urb = reinterpret_cast<PURB>(urbMemory);
        ctx.urb_size = urbBytes;
        ctx.callback = Recorder::callback;
        ctx.callback_context = &recorder;
        memset(urbMemory, 0xAB, sizeof urbMemory);
    }
    ~Transfer() { IoFreeIrp(ctx.irp); }
    UsbTransferContext ctx{};
    alignas(16) UCHAR urbMemory[512];
    UCHAR data[128] = {};
};

} // namespace usbtest
