#include "tools/soak/Certification.h"

#include "emu/hidclass/ClassDriver.h"
#include "emu/kernel/Kernel.h"
#include "emu/usbbus/VirtualReceiver.h"
#include "frame/DriverEntry.h"
#include "irkit/Encoders.h"
#include "irkit/Packetizer.h"
#include "transfer/PoolTag.h"

#include <cstdio>
#include <future>
#include <iterator>
#include <memory>
#include <vector>

namespace certification {

namespace {

using Bytes = std::vector<uint8_t>;
// Real time anything the stack owes may take, far beyond what it needs.
constexpr int kWaitMs = 5000;
// The digit buttons 1 to 0: key usages 0x1E to 0x27, one after the other so that every key
// is told from the one before and after it.
constexpr uint8_t kDigits[] = {0x54, 0x16, 0x15, 0x14, 0x50, 0x12, 0x11, 0x10, 0x0E, 0x0D};

// When a key pressed now must come: at once (the stack reads), once the receiver's queue is
// read again (it sleeps), or never (the hub has stopped or disabled the receiver, which
// hears nothing then).
enum class Expect { Now, Later, Never };

struct Press {
    Bytes report;
    Expect expect;
    std::string when;
};

std::string hex(long status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

// One receiver (and the ones plugged in after it) under the driver and the class driver,
// an application with the device open, and the keys pressed so far.
class Rig {
public:
    // registered: whether the application that opens each stack lets a removal go (it is
    // registered for the device's notifications) or vetoes it.
    explicit Rig(bool registered = true)
        : _receiver(std::make_unique<emu::usb::VirtualReceiver>()),
          _hidclass(std::make_unique<emu::hid::ClassDriver>(&DriverEntry)), _registered(registered),
          _mark(emu::debuglog::mark()) {}

    emu::hid::ClassDriver& hidclass() { return *_hidclass; }
    emu::hid::LowerFilter& filter() { return *_hidclass->filter(); }
    bool ok() const { return _failure.empty(); }
    void fail(const std::string& what) {
        if (_failure.empty())
            _failure = what;
    }
    void expectSuccess(long status, const std::string& what) {
        if (status != STATUS_SUCCESS)
            fail(what + " returned " + hex(status));
    }

    // Loads the driver unless it is loaded, adds and starts a stack over the receiver, and
    // the application opens the device.
    bool up() {
        NTSTATUS status = _loaded ? STATUS_SUCCESS : _hidclass->load();
        _loaded = NT_SUCCESS(status);
        if (_loaded)
            status = _hidclass->addDevice(_receiver->pdo());
        _stack = _loaded;
        if (NT_SUCCESS(status))
            status = _hidclass->start();
        if (!NT_SUCCESS(status)) {
            fail("the start failed: " + _hidclass->lastError());
            return false;
        }
        // The application opens the device, with two reads pending.
        collect();
        _application = _hidclass->openHandle(_registered);
        _applicationFrom = _events.size();
        return true;
    }
    // DriverUnload has run: the next up() loads the image again.
    void unloaded() { _loaded = _stack = false; }
    void closeApplication() { _hidclass->closeHandle(_application); }
    emu::hid::ClassDriver::Handle application() const { return _hidclass->handle(_application); }

    // Presses the next digit. A key that must come now is waited for.
    void press(Expect expect, const std::string& when) {
        const uint8_t command = kDigits[_presses.size() % std::size(kDigits)];
        const Bytes report = {1, 0, 0, static_cast<uint8_t>(0x1E + _presses.size() % 10), 0, 0,
                              0, 0, 0};
        _presses.push_back({report, expect, when});
        if (expect != Expect::Never)
            _owed += 2; // the key, then its release
        irkit::Timings timings = irkit::necFrame(0x04, command);
        irkit::append(timings, irkit::space(250000));
        for (const auto& packet : irkit::packetize(timings))
            _receiver->queueInPacket(packet.bytes);
        if (expect == Expect::Now)
            arrived(when);
        scan();
    }
    // Waits until every key owed so far has come.
    void arrived(const std::string& when) {
        if (!_hidclass->keys().waitForDelivered(_owed, kWaitMs))
            fail("the key pressed " + when + " did not arrive");
    }

    NTSTATUS pnp(UCHAR minor) { return _hidclass->pnp().pnp(minor).status; }

    // The receiver is pulled out: the PnP manager surprise-removes the stack, the
    // application's reads fail, it closes its handle, and the stack is removed.
    void pullOut() {
        scan();
        _errorsSaid = true; // the driver tells of reads that fail for a device gone
        _receiver->surpriseRemove();
    }
    // A failure below the driver, which the driver tells of.
    void failedBelow() {
        scan();
        _errorsSaid = true;
    }
    void unplug() {
        pullOut();
        if (!_stack)
            return;
        expectSuccess(_hidclass->surpriseRemove().status, "the surprise removal");
        removeStack();
    }
    // After a failed start or a surprise removal: the PnP manager's removal.
    void removeStack() {
        const bool open = application().open;
        expectSuccess(_hidclass->remove().status, "the removal");
        _stack = false;
        if (open &&
            application().failedReads != std::vector<NTSTATUS>(2, STATUS_DEVICE_NOT_CONNECTED))
            fail("the removal did not fail the application's two reads");
        closeApplication();
    }
    // A receiver plugged in: a new PDO, a new stack on the driver still loaded.
    void plugIn() {
        _gone.push_back(std::move(_receiver));
        _receiver = std::make_unique<emu::usb::VirtualReceiver>();
        up();
    }

    // Keys after the scenario, then the keys against the presses and the application's
    // reports against the class driver's, then removal and unload and what they left.
    std::string finish() {
        if (ok() && _stack) {
            press(Expect::Now, "after the scenario");
            press(Expect::Now, "after the scenario");
        }
        checkKeys();
        scan();
        if (!_error.empty())
            fail("with nothing failing, the driver said: " + _error);
        _hidclass.reset(); // remove and unload: the verifier stops on a leak
        for (auto& receiver : _gone)
            receiver.reset();
        if (!_receiver->waitUntilIdle() || _receiver->outstandingRequests() != 0)
            fail(std::to_string(_receiver->outstandingRequests()) + " request(s) left at the bus");
        _receiver.reset();
        if (emu::runningSystemThreads() != 0)
            fail("a system thread outlived the driver");
        if (emu::liveIrps() != 0)
            fail(std::to_string(emu::liveIrps()) + " request(s) outlived the driver");
        if (emu::openHandles() != 0)
            fail(std::to_string(emu::openHandles()) + " handle(s) outlived the driver");
        return _failure;
    }

private:
    // Looks for an error message of the driver among the lines since the last look (often
    // enough that the log's ring still holds them), until something failed on purpose.
    void scan() {
        for (const emu::DebugLine& line : emu::debuglog::linesSince(_mark)) {
            _mark = line.sequence + 1;
            if (!_errorsSaid && _error.empty() &&
                line.text.find("ravo (error)") != std::string::npos)
                _error = line.text;
        }
    }

    void collect() {
        for (auto& event : _hidclass->keys().take())
            _events.push_back(std::move(event));
    }

    void checkKeys() {
        collect();
        size_t e = 0;
        for (const Press& press : _presses) {
            const bool came = e < _events.size() && _events[e].report == press.report;
            if (came && press.expect == Expect::Never)
                fail("a key the receiver never sent arrived (pressed " + press.when + ")");
            if (came && (e + 1 == _events.size() || !_events[e + 1].release()))
                fail("the key pressed " + press.when + " came without its release");
            if (!came && press.expect != Expect::Never)
                fail("the key pressed " + press.when + " never came");
            e += came ? 2 : 0;
        }
        if (e < _events.size())
            fail(std::to_string(_events.size() - e) + " report(s) nobody pressed");
        for (const auto& event : _events)
            if (!event.wellFormed)
                fail("a report the report descriptor does not declare");
        if (_hidclass->fdo() == nullptr || !application().open)
            return;
        std::vector<Bytes> expected;
        for (size_t i = _applicationFrom; i < _events.size(); i++)
            expected.push_back(_events[i].report);
        if (application().reports != expected)
            fail("the application read " + std::to_string(application().reports.size()) +
                 " report(s) of the " + std::to_string(expected.size()) + " that came");
    }

    std::vector<std::unique_ptr<emu::usb::VirtualReceiver>> _gone;
    std::unique_ptr<emu::usb::VirtualReceiver> _receiver;
    std::unique_ptr<emu::hid::ClassDriver> _hidclass;
    bool _registered;
    uint64_t _mark; // the first line of the driver's log not looked at yet
    bool _errorsSaid = false;
    std::string _error; // the driver's first error message while nothing failed
    bool _loaded = false;
    bool _stack = false;
    size_t _application = 0;
    size_t _applicationFrom = 0;
    std::vector<Press> _presses;
    std::vector<emu::hid::KeyEvent> _events;
    size_t _owed = 0;
    std::string _failure;
};

enum class Step {
    QueryStop,       // the PnP manager's query-stop of a rebalance
    FailedQueryStop, // the same, failed by the filter below the driver
    Stop,
    Start,
    FailedStart, // the restart failed below: the class driver fails it, the PnP manager removes
    CancelStop,
    QueryRemove, // announced to the applications first (those registered close)
    CancelRemove,
    Remove,
    AddAndStart, // enabled, or found again: a new stack; the application opens it
};

const char* nameOf(Step step) {
    switch (step) {
        case Step::QueryStop:
            return "the query-stop";
        case Step::FailedQueryStop:
            return "the query-stop failed below";
        case Step::Stop:
            return "the stop";
        case Step::Start:
            return "the start";
        case Step::FailedStart:
            return "the failed start";
        case Step::CancelStop:
            return "the cancel-stop";
        case Step::QueryRemove:
            return "the query-remove";
        case Step::CancelRemove:
            return "the cancel-remove";
        case Step::Remove:
            return "the removal";
        case Step::AddAndStart:
            return "the new stack";
    }
    return "?";
}

std::vector<Step> stepsFor(Pnp scenario) {
    switch (scenario) {
        case Pnp::Rebalance:
            return {Step::QueryStop, Step::Stop, Step::Start};
        case Pnp::RebalanceFailedRestart:
            return {Step::QueryStop, Step::Stop, Step::FailedStart, Step::AddAndStart};
        case Pnp::CancelStop:
            return {Step::FailedQueryStop, Step::CancelStop};
        case Pnp::CancelRemove:
            return {Step::QueryRemove, Step::CancelRemove};
        case Pnp::DisableEnable:
            return {Step::QueryRemove, Step::Remove, Step::AddAndStart};
    }
    return {};
}

// Carries the step out; whether the stack reads afterwards.
bool perform(Rig& rig, Step step) {
    const std::string what = nameOf(step);
    switch (step) {
        case Step::QueryStop:
            rig.expectSuccess(rig.pnp(IRP_MN_QUERY_STOP_DEVICE), what);
            return true;
        case Step::FailedQueryStop:
            rig.filter().failNext(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
            if (rig.pnp(IRP_MN_QUERY_STOP_DEVICE) != STATUS_UNSUCCESSFUL)
                rig.fail("the driver did not return the failure of the query-stop below it");
            return true;
        case Step::Stop:
            rig.expectSuccess(rig.hidclass().stopQueried().status, what);
            return false;
        case Step::Start:
            rig.expectSuccess(rig.hidclass().start(),
                              what + " (" + rig.hidclass().lastError() + ")");
            return true;
        case Step::FailedStart:
            rig.filter().failNext(IRP_MN_START_DEVICE, STATUS_UNSUCCESSFUL);
            rig.failedBelow();
            if (rig.hidclass().start() != STATUS_UNSUCCESSFUL)
                rig.fail("the driver did not return the failure of the start below it");
            rig.removeStack();
            return false;
        case Step::CancelStop:
            rig.expectSuccess(rig.pnp(IRP_MN_CANCEL_STOP_DEVICE), what);
            return true;
        case Step::QueryRemove:
            if (rig.application().closesOnNotification)
                rig.closeApplication();
            rig.expectSuccess(rig.pnp(IRP_MN_QUERY_REMOVE_DEVICE), what);
            return true;
        case Step::CancelRemove:
            rig.expectSuccess(rig.pnp(IRP_MN_CANCEL_REMOVE_DEVICE), what);
            return true;
        case Step::Remove:
            rig.removeStack();
            return false;
        case Step::AddAndStart:
            return rig.up();
    }
    return false;
}

} // namespace

const char* nameOf(Pnp scenario) {
    switch (scenario) {
        case Pnp::Rebalance:
            return "Rebalance";
        case Pnp::RebalanceFailedRestart:
            return "RebalanceFailedRestart";
        case Pnp::CancelStop:
            return "CancelStop";
        case Pnp::CancelRemove:
            return "CancelRemove";
        case Pnp::DisableEnable:
            return "DisableEnable";
    }
    return "?";
}

size_t stepsOf(Pnp scenario) {
    return stepsFor(scenario).size();
}

std::string runPnp(Pnp scenario, size_t unplugAfter) {
    // The application that holds the device open vetoes the removal of CancelRemove; the
    // others are registered for the device's notifications.
    Rig rig(scenario != Pnp::CancelRemove);
    if (rig.up()) {
        rig.press(Expect::Now, "before the scenario");
        const std::vector<Step> steps = stepsFor(scenario);
        for (size_t i = 0; i < steps.size() && rig.ok(); i++) {
            const bool reading = perform(rig, steps[i]);
            const std::string when = std::string("after ") + nameOf(steps[i]);
            if (i + 1 == unplugAfter) {
                rig.unplug();
                rig.plugIn();
                break;
            }
            rig.press(reading ? Expect::Now : Expect::Never, when);
        }
    }
    return rig.finish();
}

std::string runSleep(unsigned cycles, unsigned first) {
    Rig rig;
    if (rig.up()) {
        uint64_t held = 0; // the driver's pool after the first wake: no sleep may add to it
        for (unsigned c = first; c < first + cycles && rig.ok(); c++) {
            const bool s4 = c % 2 != 0;
            const std::string state = s4 ? "S4" : "S3";
            rig.press(Expect::Now, "before " + state);
            rig.expectSuccess(
                rig.hidclass().sleep(s4 ? PowerSystemHibernate : PowerSystemSleeping3).status,
                "entering " + state);
            rig.press(Expect::Later, "in " + state);
            rig.expectSuccess(rig.hidclass().wake().status, "leaving " + state);
            rig.arrived("in " + state);
            rig.press(Expect::Now, "after " + state);
            const uint64_t now = emu::pool::stats(RAVO_POOL_TAG).liveBytes;
            if (c != first && now != held)
                rig.fail("the driver held " + std::to_string(now) + " bytes of pool after " +
                         std::to_string(c - first + 1) + " sleeps, " + std::to_string(held) +
                         " after the first");
            held = c == first ? now : held;
        }
    }
    return rig.finish();
}

std::string runReinstall() {
    Rig rig;
    if (rig.up()) {
        rig.press(Expect::Now, "before the reinstall");
        if (!rig.hidclass().disable())
            rig.fail("the removal was vetoed");
        const auto closed = rig.application();
        if (closed.open || closed.failedReads != std::vector<NTSTATUS>(2, STATUS_CANCELLED) ||
            closed.reports.size() != 2)
            rig.fail("the application did not read its key, then have its reads failed as its "
                     "handle closed");
        rig.press(Expect::Never, "between the removal and the new image");
        rig.hidclass().unload();
        rig.unloaded();
        if (rig.ok())
            rig.up();
    }
    return rig.finish();
}

const char* nameOf(Moment moment) {
    switch (moment) {
        case Moment::Sleeping:
            return "Sleeping";
        case Moment::Waking:
            return "Waking";
        case Moment::Stopping:
            return "Stopping";
        case Moment::WakingDuringRebalance:
            return "WakingDuringRebalance";
    }
    return "?";
}

std::string runConcurrent(Moment moment) {
    Rig rig;
    if (!rig.up())
        return rig.finish();
    rig.press(Expect::Now, "before the transition");
    emu::hid::ClassDriver& hidclass = rig.hidclass();
    const bool waking = moment == Moment::Waking || moment == Moment::WakingDuringRebalance;
    if (waking)
        rig.expectSuccess(hidclass.sleep(PowerSystemSleeping3).status, "entering S3");
    // The request held below the driver while the receiver goes.
    if (moment == Moment::Stopping) {
        rig.expectSuccess(rig.pnp(IRP_MN_QUERY_STOP_DEVICE), "the query-stop");
        rig.filter().holdNext(IRP_MJ_PNP, IRP_MN_STOP_DEVICE);
    } else {
        rig.filter().holdNext(IRP_MJ_POWER, IRP_MN_SET_POWER,
                              waking ? PowerDeviceD0 : PowerDeviceD3);
    }
    std::future<long> transition = std::async(std::launch::async, [&]() -> long {
        if (moment == Moment::Stopping)
            return hidclass.stopQueried().status;
        return (waking ? hidclass.wake() : hidclass.sleep(PowerSystemSleeping3)).status;
    });
    if (!rig.filter().waitForHeld()) {
        rig.fail("the request never reached the filter");
        rig.filter().release();
        transition.wait();
        return rig.finish();
    }
    if (moment == Moment::WakingDuringRebalance) {
        rig.expectSuccess(rig.pnp(IRP_MN_QUERY_STOP_DEVICE), "the query-stop");
        rig.expectSuccess(hidclass.stopQueried().status, "the stop");
    }
    // Nobody reads the receiver now, and it is pulled out before anybody does again.
    rig.press(Expect::Never, "as the receiver goes");
    rig.pullOut();
    if (moment == Moment::Sleeping || moment == Moment::Waking) {
        // The PnP manager's surprise removal meets the power request on its way.
        std::future<emu::RequestOutcome> removal = hidclass.pnp().sendPnp(IRP_MN_SURPRISE_REMOVAL);
        rig.filter().release();
        rig.expectSuccess(transition.get(), "the power transition");
        rig.expectSuccess(removal.get().status, "the surprise removal");
        rig.removeStack();
    } else {
        rig.filter().release();
        rig.expectSuccess(transition.get(), "the held request");
        // The restart of the rebalance finds no receiver: the class driver fails it and
        // the PnP manager removes the stack.
        if (NT_SUCCESS(hidclass.start()))
            rig.fail("a start without a receiver succeeded");
        rig.removeStack();
    }
    rig.plugIn();
    return rig.finish();
}

} // namespace certification
