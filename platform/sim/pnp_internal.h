// Internals shared by the loader (loader.cpp), the Plug and Play manager
// (pnp_*.cpp) and the power manager (po_*.cpp). Never included by driver code.
#pragma once

#include "platform/sim/api_pnp.h"
#include "platform/sim/internal.h"

#include <string>
#include <vector>

namespace sim {

// Virtual time a power IRP may stay outstanding before the verifier calls it
// stuck (Windows' power watchdog allows minutes).
constexpr LONGLONG kPowerIrpTimeout100ns = 10LL * 60 * 1000 * 1000 * 10;

// ---------------------------------------------------------------- loader (loader.cpp)
// Loads `service` if it is not loaded (DriverEntry runs once per load).
// Returns NULL with *status set when it cannot: no registration, dlopen or
// dlsym failed (STATUS_OBJECT_NAME_NOT_FOUND / STATUS_INVALID_IMAGE_FORMAT),
// or DriverEntry failed (its status).
PDRIVER_OBJECT LoaderLoad(const std::string& service, NTSTATUS* status);
// DriverUnload, the verifier's unload checks, then the image is unmapped.
void LoaderUnload(const std::string& service);
// Services loaded now.
std::vector<std::string> LoaderLoadedServices();
void LoaderStart();
void LoaderStop(); // unmaps without unload checks (teardown after a failure)

// ---------------------------------------------------------------- Plug and Play (pnp_manager.cpp)
// The nodes the power manager sends system IRPs to (a function driver
// attached, started or stopped, not removed), in the order Windows powers
// them down: deeper nodes first, later-enumerated first among equals.
std::vector<DevNode*> PnpPowerOrderForSleep();
DevNode* PnpNodeOfDevice(PDEVICE_OBJECT anyDeviceInStack);
// The top of the stack `device` belongs to.
PDEVICE_OBJECT PnpTopOfStack(PDEVICE_OBJECT device);
// Ordered rules checked where a request is made.
void PnpRequirePassive(const char* what);

// ---------------------------------------------------------------- power (po_*.cpp)
// Sends one power IRP the manager made to the top of `device`'s stack and
// waits for it; the log records it. Used by the system transitions.
NTSTATUS PoSendAndWait(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type,
                       POWER_STATE state, POWER_ACTION action);
// The action of the system transition under way, stamped on the device IRPs
// drivers request meanwhile (PowerActionNone outside a transition).
void PoSetCurrentAction(POWER_ACTION action);
// po_manager.cpp's part of PoStart / PoCheck / PoStop.
void PoManagerReset();
void PoManagerCheck();
void PoManagerStop();

} // namespace sim
