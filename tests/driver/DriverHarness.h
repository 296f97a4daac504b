// The driver loaded over the virtual receiver the way the HID class driver loads it, with
// a stand-in of the class driver's reads: enough to reach the driver's internals through
// its own entry points.
#pragma once

#include "emu/hidclass/ReadReportClient.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/Device.h"
#include "frame/DriverEntry.h"
#include "frame/MinidriverExtension.h"
#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"
#include "transfer/PoolTag.h"

#include <chrono>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

namespace driver_harness {

// A filter below the driver that completes power requests at DISPATCH_LEVEL, as a bus
// driver may from its DPC, and passes everything else on to the receiver.
struct DispatchLevelPowerFilter {
    static NTSTATUS power(PDEVICE_OBJECT, PIRP irp) {
        emu::ScopedIrql dispatch(DISPATCH_LEVEL);
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    static NTSTATUS passOn(PDEVICE_OBJECT device, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(*static_cast<PDEVICE_OBJECT*>(device->DeviceExtension), irp);
    }
};

class DriverHarness : public ::testing::Test {
protected:
    void SetUp() override {
        load(false);
        ASSERT_EQ(STATUS_SUCCESS, _addStatus);
    }

    // powerAtDispatch: a filter between the driver and the receiver completes power
    // requests at DISPATCH_LEVEL.
    void load(bool powerAtDispatch) {
        emu::debuglog::clear();
        _driver = emu::createDriverObject("ravo");
        ASSERT_EQ(STATUS_SUCCESS, DriverEntry(_driver, nullptr));
        _receiver = std::make_unique<emu::usb::VirtualReceiver>();
        PDEVICE_OBJECT lower = _receiver->pdo();
        if (powerAtDispatch) {
            _filterDriver = emu::createDriverObject("filter");
            for (auto& slot : _filterDriver->MajorFunction)
                slot = DispatchLevelPowerFilter::passOn;
            _filterDriver->MajorFunction[IRP_MJ_POWER] = DispatchLevelPowerFilter::power;
            _filter = emu::createDeviceObject(_filterDriver, sizeof(PDEVICE_OBJECT));
            *static_cast<PDEVICE_OBJECT*>(_filter->DeviceExtension) = lower;
            emu::attachDevice(_filter, lower);
            lower = _filter;
        }
        _fdo = emu::createDeviceObject(_driver,
                                       sizeof(HID_DEVICE_EXTENSION) + MINIDRIVER_EXTENSION_SIZE);
        auto* hid = static_cast<PHID_DEVICE_EXTENSION>(_fdo->DeviceExtension);
        hid->PhysicalDeviceObject = _receiver->pdo();
        hid->NextDeviceObject = lower;
        hid->MiniDeviceExtension = hid + 1;
        emu::attachDevice(_fdo, lower);
        _addStatus = _driver->DriverExtension->AddDevice(_driver, _fdo);
    }

    void reload(bool powerAtDispatch) {
        TearDown();
        load(powerAtDispatch);
        ASSERT_EQ(STATUS_SUCCESS, _addStatus);
    }

    void TearDown() override {
        if (_fdo == nullptr)
            return;
        if (extension()->_p_device != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_REMOVE_DEVICE));
        }
        EXPECT_TRUE(emu::workitems::waitIdle()) << "work items left behind";
        _client.reset();
        _receiver.reset();
        emu::deleteDeviceObject(_fdo);
        _fdo = nullptr;
        if (_filter != nullptr) {
            emu::deleteDeviceObject(_filter);
            emu::deleteDriverObject(_filterDriver);
            _filter = nullptr;
        }
        _driver->DriverUnload(_driver);
        emu::deleteDriverObject(_driver);
        emu::clock::useRealTime();
        emu::pool::clearFaults();
        emu::pool::verifyNoLeaks(RAVO_POOL_TAG, "driver unload");
    }

    MinidriverExtension* extension() const { return minidriverExtension(_fdo); }
    Device* device() const { return extension()->_p_device; }

    // Sends a request from the emulated world and waits (bounded) for its completion.
    using Setup = std::function<void(PIRP, PIO_STACK_LOCATION)>;
    IO_STATUS_BLOCK sendIrp(UCHAR major, UCHAR minor, const Setup& setup = {},
                            NTSTATUS initial = STATUS_NOT_SUPPORTED) {
        auto done = std::make_shared<std::promise<IO_STATUS_BLOCK>>();
        PIRP irp = emu::allocateWorldIrp(_fdo->StackSize, [done](PIRP completed) {
            done->set_value(completed->IoStatus);
            IoFreeIrp(completed);
        });
        PIO_STACK_LOCATION stack = emu::firstStackLocation(irp);
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        irp->IoStatus.Status = initial;
        if (setup)
            setup(irp, stack);
        (void)IofCallDriver(_fdo, irp);
        auto result = done->get_future();
        if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
            ADD_FAILURE() << "request " << int(major) << "/" << int(minor) << " never completed";
        return result.get();
    }
    NTSTATUS pnp(UCHAR minor) { return sendIrp(IRP_MJ_PNP, minor).Status; }
    NTSTATUS setDevicePower(DEVICE_POWER_STATE state) {
        return sendIrp(
                   IRP_MJ_POWER, IRP_MN_SET_POWER,
                   [state](PIRP, PIO_STACK_LOCATION stack) {
                       stack->Parameters.Power.Type = DevicePowerState;
                       stack->Parameters.Power.State.DeviceState = state;
                   },
                   STATUS_SUCCESS)
            .Status;
    }
    // An internal HID request with a METHOD_NEITHER output buffer.
    IO_STATUS_BLOCK hidRequest(ULONG code, void* buffer, ULONG length) {
        return sendIrp(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [=](PIRP irp, PIO_STACK_LOCATION stack) {
            irp->UserBuffer = buffer;
            stack->Parameters.DeviceIoControl.IoControlCode = code;
            stack->Parameters.DeviceIoControl.OutputBufferLength = length;
        });
    }

    // Starts the device and keeps the class driver's reads pending.
    void startWithReads(unsigned depth = 2) {
        ASSERT_EQ(STATUS_SUCCESS, pnp(IRP_MN_START_DEVICE));
        ASSERT_EQ(Started, device()->state());
        _client = std::make_unique<emu::hid::ReadReportClient>(_fdo);
        _client->keepPending(depth);
        ASSERT_TRUE(_receiver->waitForWaitingTransfers(16)) << "16 reads at the bus";
    }

    // Plays a remote's timings on the receiver, packet by packet.
    void play(const irkit::Timings& timings) {
        for (auto& packet : irkit::packetize(timings))
            _receiver->queueInPacket(packet.bytes);
    }
    void press(uint8_t command) {
        irkit::Timings timings = irkit::necFrame(0x04, command);
        irkit::append(timings, irkit::space(250000));
        play(timings);
    }

    // Waits (bounded, real time) until the class driver has seen n reports.
    std::vector<emu::hid::InputReport> reports(size_t n) {
        std::vector<emu::hid::InputReport> seen;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen.size() < n && std::chrono::steady_clock::now() < deadline) {
            for (auto& report : _client->take())
                seen.push_back(report);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return seen;
    }

    PDRIVER_OBJECT _driver = nullptr;
    PDEVICE_OBJECT _fdo = nullptr;
    NTSTATUS _addStatus = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT _filterDriver = nullptr;
    PDEVICE_OBJECT _filter = nullptr;
    std::unique_ptr<emu::usb::VirtualReceiver> _receiver;
    std::unique_ptr<emu::hid::ReadReportClient> _client;
};

} // namespace driver_harness
