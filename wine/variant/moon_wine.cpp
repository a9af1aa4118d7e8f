// The port naming module as the Wine harness builds it. Wine checks the
// access mask of kernel-mode registry handles, which Windows does not, so the
// read-only open of the device key that is enough on Windows cannot query
// "PortName" there. This is the one place where the harness images differ
// from the shipped ones: the open goes through a routine that also asks for
// KEY_QUERY_VALUE.
#define IoOpenDeviceRegistryKey VxHarnessOpenDeviceRegistryKey
#include "core/moon.cpp"
