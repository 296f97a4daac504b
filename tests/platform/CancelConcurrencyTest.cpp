// Cancellation racing completion: whoever clears the cancel routine first owns the request.
// A minimal queueing driver follows the kernel's protocol; the emulated verifier stops the
// run if a request is completed twice or with its routine still set.
#include "KernelFixture.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

using namespace ktest;

namespace {

struct QueueDriver {
    std::mutex lock; // stands in for the driver's own queue lock
    std::deque<PIRP> queue;
};

QueueDriver* g_driver = nullptr;

VOID cancelQueued(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> guard(g_driver->lock);
        for (auto it = g_driver->queue.begin(); it != g_driver->queue.end(); ++it) {
            if (*it == irp) {
                g_driver->queue.erase(it);
                break;
            }
        }
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
}

} // namespace

TEST(CancelConcurrencyTest, EveryRequestEndsExactlyOnceWhetherCancelledOrCompleted) {
    DeviceStack stack(1);
    QueueDriver driver;
    g_driver = &driver;
    stack.at(0).dispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        {
            std::lock_guard<std::mutex> guard(driver.lock);
            driver.queue.push_back(irp);
        }
        IoSetCancelRoutine(irp, cancelQueued);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    };

    constexpr int kRequests = 3000;
    struct Result {
        std::atomic<int> completions{0};
        std::atomic<NTSTATUS> status{0};
    };
    std::vector<Result> results(kRequests);
    std::vector<PIRP> irps(kRequests);
    std::atomic<int> sent{0};
    std::atomic<bool> done{false};

    std::thread completer([&] {
        while (!done.load()) {
            PIRP irp = nullptr;
            {
                std::lock_guard<std::mutex> guard(driver.lock);
                if (!driver.queue.empty()) {
                    irp = driver.queue.front();
                    driver.queue.pop_front();
                }
            }
            if (irp == nullptr) {
                std::this_thread::yield();
                continue;
            }
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
            IoReleaseCancelSpinLock(irql);
            if (routine == nullptr)
                continue; // the cancel routine owns it now
            irp->IoStatus.Status = STATUS_SUCCESS;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
        }
    });
    std::thread canceller([&] {
        for (int i = 0; i < kRequests; ++i) {
            while (sent.load() <= i)
                std::this_thread::yield();
            if (i % 2 == 0)
                continue;
            // The request may already be gone: cancel only what is still referenced by a
            // pending result, as the I/O manager would for a request it still tracks.
            if (results[i].completions.load() == 0)
                IoCancelIrp(irps[i]);
        }
    });
    for (int i = 0; i < kRequests; ++i) {
        // Kept until the end (the callback does not free them) so that a late cancel
        // never touches a freed request.
        irps[i] = emu::allocateWorldIrp(1, [&results, i](PIRP done) {
            results[i].status = done->IoStatus.Status;
            results[i].completions++;
        });
        emu::firstStackLocation(irps[i])->MajorFunction = IRP_MJ_READ;
        IofCallDriver(stack.top().device, irps[i]);
        sent++;
    }
    canceller.join();
    // Let the completer drain what is left.
    while (true) {
        bool empty;
        {
            std::lock_guard<std::mutex> guard(driver.lock);
            empty = driver.queue.empty();
        }
        if (empty)
            break;
        std::this_thread::yield();
    }
    done = true;
    completer.join();
    int cancelled = 0;
    for (int i = 0; i < kRequests; ++i) {
        EXPECT_EQ(1, results[i].completions.load()) << "request " << i;
        cancelled += results[i].status.load() == STATUS_CANCELLED;
        IoFreeIrp(irps[i]);
    }
    EXPECT_LE(cancelled, kRequests / 2) << "only odd requests were cancelled";
    g_driver = nullptr;
}
