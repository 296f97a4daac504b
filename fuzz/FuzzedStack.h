// The driver loaded into a fresh stack over a virtual receiver, as both whole-stack fuzz
// targets start each input. The class driver's destructor removes, unloads and checks that
// nothing was left behind.
#pragma once

#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/DriverEntry.h"

struct FuzzedStack {
    emu::usb::VirtualReceiver receiver;
    emu::hid::ClassDriver hidclass{&DriverEntry};

    // Loaded and added; false when either failed and the input has nothing to drive.
    bool added() {
        static bool quiet = [] {
            emu::debuglog::setEcho(false);
            return true;
        }();
        (void)quiet;
        return NT_SUCCESS(hidclass.load()) && NT_SUCCESS(hidclass.addDevice(receiver.pdo()));
    }

    // Lets the packets and work items in flight end before the stack goes.
    void settle() {
        receiver.waitUntilIdle();
        emu::workitems::waitIdle();
    }
};
