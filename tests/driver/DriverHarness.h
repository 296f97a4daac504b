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

class DriverHarness : public ::testing::Test {
protected:
    void SetUp() override {
        emu::debuglog::clear();
        _driver = emu::createDriverObject("ravo");
        ASSERT_EQ(STATUS_SUCCESS, DriverEntry(_driver, nullptr));
        _receiver = std::make_unique<emu::usb::VirtualReceiver>();
        _fdo = emu::createDeviceObject(_driver,
                                       sizeof(HID_DEVICE_EXTENSION) + MINIDRIVER_EXTENSION_SIZE);
        auto* hid = static_cast<PHID_DEVICE_EXTENSION>(_fdo->DeviceExtension);
        hid->PhysicalDeviceObject = _receiver->pdo();
        hid->NextDeviceObject = _receiver->pdo();
        hid->MiniDeviceExtension = hid + 1;
        emu::attachDevice(_fdo, _receiver->pdo());
        ASSERT_EQ(STATUS_SUCCESS, _driver->DriverExtension->AddDevice(_driver, _fdo));
    }

    void TearDown() override {
        if (extension()->_p_device != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, pnp(IRP_MN_REMOVE_DEVICE));
        }
        _client.reset();
        _receiver.reset();
        emu::deleteDeviceObject(_fdo);
        _driver->DriverUnload(_driver);
        emu::deleteDriverObject(_driver);
        emu::pool::clearFaults();
        emu::pool::verifyNoLeaks(RAVO_POOL_TAG, "driver unload");
    }

    MinidriverExtension* extension() const { return minidriverExtension(_fdo); }
    Device* device() const { return extension()->_p_device; }

    // Sends a request from the emulated world and waits (bounded) for its completion.
    NTSTATUS send(UCHAR major, UCHAR minor,
                  const std::function<void(PIO_STACK_LOCATION)>& setup = {},
                  NTSTATUS initial = STATUS_NOT_SUPPORTED) {
        auto done = std::make_shared<std::promise<NTSTATUS>>();
        PIRP irp = emu::allocateWorldIrp(_fdo->StackSize, [done](PIRP completed) {
            done->set_value(completed->IoStatus.Status);
            IoFreeIrp(completed);
        });
        PIO_STACK_LOCATION stack = emu::firstStackLocation(irp);
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        if (setup)
            setup(stack);
        irp->IoStatus.Status = initial;
        (void)IofCallDriver(_fdo, irp);
        auto result = done->get_future();
        if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
            ADD_FAILURE() << "request " << int(major) << "/" << int(minor) << " never completed";
        return result.get();
    }
    NTSTATUS pnp(UCHAR minor) { return send(IRP_MJ_PNP, minor); }
    NTSTATUS setDevicePower(DEVICE_POWER_STATE state) {
        return send(
            IRP_MJ_POWER, IRP_MN_SET_POWER,
            [state](PIO_STACK_LOCATION stack) {
                stack->Parameters.Power.Type = DevicePowerState;
                stack->Parameters.Power.State.DeviceState = state;
            },
            STATUS_SUCCESS);
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
    std::unique_ptr<emu::usb::VirtualReceiver> _receiver;
    std::unique_ptr<emu::hid::ReadReportClient> _client;
};

} // namespace driver_harness
