// The harness's installer and bus control, a Win32 console program:
//
//   vxinstall copyinf <inf>            stage a driver package (SetupCopyOEMInfW)
//   vxinstall addbus <inf> <hwid>      create the root-enumerated phone bus and
//                                      install its driver from <inf>
//   vxinstall plug | unplug            ask the phone bus to plug / pull the phone
//   vxinstall status                   the bus's counters
//   vxinstall ports <n> <seconds>      wait until SERIALCOMM holds <n> of our
//                                      ports, then list them and the interfaces
//   vxinstall hold                     say "holding the prefix", then sleep
//                                      until killed
//   vxinstall gone <seconds>           wait until our ports and the bus's
//                                      interface devices are gone
//   vxinstall unload <seconds>         have the port drivers unloaded once
//                                      their devices are gone (the bus asks
//                                      Wine's kernel, as Windows's Plug and
//                                      Play manager would do by itself)
//
// Exit status 0 on success; every failure prints what failed and the error.
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <stdio.h>
#include <wchar.h>

#include "wine/phonebus/phonebus_ioctl.h"

namespace {

// {4D36E97D-E325-11CE-BFC1-08002BE10318}: system devices, where buses go.
const GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// {456F868B-66CF-4BDF-BFB7-84DE59CC2778}: the modem port's interface class.
const GUID kModemInterface = {0x456F868B, 0x66CF, 0x4BDF, {0xBF, 0xB7, 0x84, 0xDE, 0x59, 0xCC, 0x27, 0x78}};
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: COM ports, the diagnostics port's class.
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

int Fail(const wchar_t* what) {
    wprintf(L"FAIL: %ls (error %lu)\n", what, (unsigned long)GetLastError());
    return 1;
}

int CopyInf(const wchar_t* inf) {
    wchar_t full[MAX_PATH], dest[MAX_PATH];
    if (!GetFullPathNameW(inf, MAX_PATH, full, NULL))
        return Fail(L"GetFullPathName");
    if (!SetupCopyOEMInfW(full, NULL, SPOST_PATH, 0, dest, MAX_PATH, NULL, NULL))
        return Fail(L"SetupCopyOEMInfW");
    wprintf(L"staged %ls as %ls\n", full, dest);
    return 0;
}

int AddBus(const wchar_t* inf, const wchar_t* hwid) {
    wchar_t full[MAX_PATH];
    if (!GetFullPathNameW(inf, MAX_PATH, full, NULL))
        return Fail(L"GetFullPathName");
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, NULL);
    if (set == INVALID_HANDLE_VALUE)
        return Fail(L"SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA dev = {};
    dev.cbSize = sizeof dev;
    // The hardware id as a MULTI_SZ.
    wchar_t ids[256] = {};
    size_t n = wcslen(hwid);
    if (n + 2 > sizeof ids / sizeof ids[0])
        return Fail(L"hardware id too long");
    wmemcpy(ids, hwid, n);
    int rc = 0;
    BOOL reboot = FALSE;
    if (!SetupDiCreateDeviceInfoW(set, L"System", &kSystemClass, NULL, NULL, DICD_GENERATE_ID, &dev))
        rc = Fail(L"SetupDiCreateDeviceInfoW");
    else if (!SetupDiSetDeviceRegistryPropertyW(set, &dev, SPDRP_HARDWAREID, (const BYTE*)ids,
                                                (DWORD)((n + 2) * sizeof(wchar_t))))
        rc = Fail(L"SetupDiSetDeviceRegistryPropertyW(SPDRP_HARDWAREID)");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))
        rc = Fail(L"SetupDiCallClassInstaller(DIF_REGISTERDEVICE)");
    else if (!UpdateDriverForPlugAndPlayDevicesW(NULL, hwid, full, INSTALLFLAG_FORCE, &reboot))
        rc = Fail(L"UpdateDriverForPlugAndPlayDevicesW");
    else
        wprintf(L"bus %ls installed from %ls\n", hwid, full);
    SetupDiDestroyDeviceInfoList(set);
    return rc;
}

HANDLE OpenBus() {
    return CreateFileA(VXPHONEBUS_USER_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0,
                       NULL);
}

int BusControl(DWORD code, VXPHONEBUS_STATUS* status) {
    HANDLE bus = OpenBus();
    if (bus == INVALID_HANDLE_VALUE)
        return Fail(L"open " VXPHONEBUS_CONTROL_LINK);
    DWORD got = 0;
    BOOL ok = DeviceIoControl(bus, code, NULL, 0, status, status ? sizeof *status : 0, &got, NULL);
    CloseHandle(bus);
    return ok ? 0 : Fail(L"DeviceIoControl on the phone bus");
}

int PrintStatus() {
    VXPHONEBUS_STATUS s = {};
    if (BusControl(IOCTL_VXPHONEBUS_STATUS, &s))
        return 1;
    wprintf(L"bus: plugged %lu children %lu urbs %lu out %lu/%lu in %lu/%lu class %lu aborts %lu "
            L"resets %lu cancels %lu at-commands %lu calls %lu\n",
            s.Plugged, s.ChildrenAlive, s.Submitted, s.BulkOutBytes[0], s.BulkOutBytes[1],
            s.BulkInBytes[0], s.BulkInBytes[1], s.ClassRequests, s.Aborts, s.Resets, s.Cancels,
            s.ModemCommands, s.ModemCalls);
    return 0;
}

// Our ports in SERIALCOMM: values named after our kernel devices.
int CountPorts(bool print) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key))
        return 0;
    int count = 0;
    for (DWORD i = 0;; ++i) {
        wchar_t name[256], data[128];
        DWORD nameLen = 256, dataBytes = sizeof data, type = 0;
        if (RegEnumValueW(key, i, name, &nameLen, NULL, &type, (BYTE*)data, &dataBytes))
            break;
        if (wcsstr(name, L"VXNTQT70") == NULL)
            continue;
        ++count;
        if (print)
            wprintf(L"serialcomm: %ls = %ls (type %lu, %lu bytes)\n", name, data, type, dataBytes);
    }
    RegCloseKey(key);
    return count;
}

// Device interfaces of one class: present ones and whether each is enabled.
int ListInterfaces(const GUID* guid, const wchar_t* label, int* active) {
    // Not DIGCF_PRESENT: Wine does not count a device its own Plug and Play
    // manager started as present; SPINT_ACTIVE tells enabled interfaces.
    HDEVINFO set = SetupDiGetClassDevsW(guid, NULL, NULL, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, guid, i, &iface); ++i) {
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
            BYTE raw[1024];
        } u;
        u.detail.cbSize = sizeof u.detail;
        const wchar_t* path = L"?";
        if (SetupDiGetDeviceInterfaceDetailW(set, &iface, &u.detail, sizeof u, NULL, NULL))
            path = u.detail.DevicePath;
        bool on = (iface.Flags & SPINT_ACTIVE) != 0;
        wprintf(L"interface %ls: %ls %ls\n", label, path, on ? L"enabled" : L"disabled");
        ++count;
        if (on)
            ++*active;
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
}

int WaitPorts(int want, int seconds) {
    for (int i = 0; i < seconds * 10 && CountPorts(false) < want; ++i)
        Sleep(100);
    int have = CountPorts(true);
    int modemOn = 0, comOn = 0;
    ListInterfaces(&kModemInterface, L"modem", &modemOn);
    ListInterfaces(&kComPortInterface, L"comport", &comOn);
    wprintf(L"ports %d, modem interfaces enabled %d, COM-port interfaces enabled %d\n", have, modemOn,
            comOn);
    if (have < want) {
        wprintf(L"FAIL: %d of %d ports in SERIALCOMM\n", have, want);
        return 1;
    }
    return 0;
}

int WaitGone(int seconds) {
    VXPHONEBUS_STATUS s = {};
    for (int i = 0; i < seconds * 10; ++i) {
        if (CountPorts(false) == 0 && BusControl(IOCTL_VXPHONEBUS_STATUS, &s) == 0 && s.ChildrenAlive == 0)
            break;
        Sleep(100);
    }
    int ports = CountPorts(true);
    PrintStatus();
    if (ports != 0 || s.ChildrenAlive != 0) {
        wprintf(L"FAIL: %d ports still named, %lu interface devices alive\n", ports, s.ChildrenAlive);
        return 1;
    }
    wprintf(L"unplugged: no port named, no interface device left\n");
    return 0;
}

// The bus refuses with ERROR_BUSY while a port driver still has a device;
// the removal that deletes it may still be on its way.
int UnloadDrivers(int seconds) {
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE bus = OpenBus();
        if (bus == INVALID_HANDLE_VALUE)
            return Fail(L"open " VXPHONEBUS_CONTROL_LINK);
        DWORD got = 0;
        BOOL ok =
            DeviceIoControl(bus, IOCTL_VXPHONEBUS_UNLOAD_DRIVERS, NULL, 0, NULL, 0, &got, NULL);
        DWORD error = GetLastError();
        CloseHandle(bus);
        if (ok) {
            wprintf(L"port drivers unloaded\n");
            return 0;
        }
        if (error != ERROR_BUSY || GetTickCount() - start > (DWORD)seconds * 1000) {
            SetLastError(error);
            return Fail(L"unload of the port drivers");
        }
        Sleep(100);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc >= 3 && !wcscmp(argv[1], L"copyinf"))
        return CopyInf(argv[2]);
    if (argc >= 4 && !wcscmp(argv[1], L"addbus"))
        return AddBus(argv[2], argv[3]);
    if (argc >= 2 && !wcscmp(argv[1], L"plug"))
        return BusControl(IOCTL_VXPHONEBUS_PLUG, NULL);
    if (argc >= 2 && !wcscmp(argv[1], L"unplug"))
        return BusControl(IOCTL_VXPHONEBUS_UNPLUG, NULL);
    if (argc >= 2 && !wcscmp(argv[1], L"status"))
        return PrintStatus();
    if (argc >= 4 && !wcscmp(argv[1], L"ports"))
        return WaitPorts(_wtoi(argv[2]), _wtoi(argv[3]));
    if (argc >= 2 && !wcscmp(argv[1], L"hold")) {
        // Keeps the prefix, and with it the kernel drivers' process, alive
        // between the harness's steps. The line tells the harness that the
        // prefix is up and that the drivers' output now goes where this
        // program's does.
        wprintf(L"holding the prefix\n");
        Sleep(INFINITE);
        return 0;
    }
    if (argc >= 3 && !wcscmp(argv[1], L"gone"))
        return WaitGone(_wtoi(argv[2]));
    if (argc >= 3 && !wcscmp(argv[1], L"unload"))
        return UnloadDrivers(_wtoi(argv[2]));
    wprintf(L"usage: vxinstall copyinf|addbus|plug|unplug|status|ports|hold|gone|unload ...\n");
    return 2;
}
