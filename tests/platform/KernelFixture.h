// A small device stack of test drivers whose dispatch routines the tests supply, over the
// emulated kernel.
#pragma once

#include "emu/kernel/Kernel.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace ktest {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
    PDEVICE_OBJECT device = nullptr;
    Dispatch dispatch;
};

// Every test device's extension holds a pointer to its TestDevice.
inline NTSTATUS dispatchTrampoline(PDEVICE_OBJECT device, PIRP irp) {
    auto* test = *static_cast<TestDevice**>(device->DeviceExtension);
    return test->dispatch(device, irp);
}

class DeviceStack {
public:
    // Builds `depth` devices; index 0 is the bottom of the stack.
    explicit DeviceStack(int depth) {
        _driver = emu::createDriverObject("test");
        for (auto& slot : _driver->MajorFunction)
            slot = dispatchTrampoline;
        for (int i = 0; i < depth; ++i) {
            auto test = std::make_unique<TestDevice>();
            test->device = emu::createDeviceObject(_driver, sizeof(TestDevice*));
            *static_cast<TestDevice**>(test->device->DeviceExtension) = test.get();
            if (i > 0)
                emu::attachDevice(test->device, _devices.back()->device);
            _devices.push_back(std::move(test));
        }
    }
    ~DeviceStack() {
        for (auto& d : _devices)
            emu::deleteDeviceObject(d->device);
        emu::deleteDriverObject(_driver);
    }
    TestDevice& at(int i) { return *_devices.at(i); }
    TestDevice& top() { return *_devices.back(); }

private:
    PDRIVER_OBJECT _driver;
    std::vector<std::unique_ptr<TestDevice>> _devices;
};

// Result of a world request once completion reached the top.
struct WorldResult {
    bool completed = false;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    bool pendingReturned = false;
    int completions = 0;
};

// A request the world sends to the top of a stack; freed when its completion arrives.
inline PIRP worldRequest(CCHAR stackSize, UCHAR major, WorldResult* result) {
    PIRP irp = emu::allocateWorldIrp(stackSize, [result](PIRP done) {
        result->completed = true;
        result->completions++;
        result->status = done->IoStatus.Status;
        result->information = done->IoStatus.Information;
        result->pendingReturned = done->PendingReturned;
        IoFreeIrp(done);
    });
    PIO_STACK_LOCATION first = emu::firstStackLocation(irp);
    first->MajorFunction = major;
    return irp;
}

} // namespace ktest
