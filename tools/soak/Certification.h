// The scenarios Windows' driver certification (the Hardware Lab Kit's Device Fundamentals
// tests) puts a driver through, played in the emulated world: Plug and Play (rebalance, a
// restart that fails after it, cancelled stop and removal, disable and enable, with a
// surprise removal in the middle of each), sleep and resume with I/O, reinstall with I/O,
// and the receiver unplugged and plugged again while power and Plug and Play requests are
// in progress. Each runs through the emulated class driver and PnP manager with keys
// flowing, an application holding the device open with reads pending, and ends with the
// soak's checks: every key pressed while the stack reads (or queued in a sleeping receiver)
// arrives whole and in order, none that the receiver never sent does, and after the
// removal and unload no pool, request, thread or handle is left, nor a request at the bus.
// Each returns "" when all held, or what did not. The caller sets the clock (manual in the
// tests, real time in the soak) and the OS build.
#pragma once

#include <cstddef>
#include <string>

namespace certification {

enum class Pnp { Rebalance, RebalanceFailedRestart, CancelStop, CancelRemove, DisableEnable };
constexpr Pnp kPnpScenarios[] = {Pnp::Rebalance, Pnp::RebalanceFailedRestart, Pnp::CancelStop,
                                 Pnp::CancelRemove, Pnp::DisableEnable};
const char* nameOf(Pnp scenario);
// Its steps (Plug and Play requests, and a new device stack), for unplugAfter.
size_t stepsOf(Pnp scenario);
// With unplugAfter k (0 < k < stepsOf), the receiver is pulled out after step k and the PnP
// manager surprise-removes and removes the stack; a receiver plugged in again gets a new one.
std::string runPnp(Pnp scenario, size_t unplugAfter = 0);

// cycles sleeps, S3 and S4 by turns from the first (0: S3), each with a key before, one
// pressed while asleep (queued in the receiver) and one after the wake.
std::string runSleep(unsigned cycles, unsigned first = 0);

// The driver unloaded and loaded again while an application holds the device open with
// reads pending: the application closes on the removal's notice, its reads failed; the
// new image's stack serves the application's new handle.
std::string runReinstall();

// The receiver is unplugged while one request is held on its way down below the driver,
// and plugged in again once the PnP manager has removed the old stack.
enum class Moment { Sleeping, Waking, Stopping, WakingDuringRebalance };
constexpr Moment kMoments[] = {Moment::Sleeping, Moment::Waking, Moment::Stopping,
                               Moment::WakingDuringRebalance};
const char* nameOf(Moment moment);
std::string runConcurrent(Moment moment);

} // namespace certification
