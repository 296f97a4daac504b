// Installs the drivers of the Windows run in a test prefix.
//
//   ravo_install install DIR   copies DIR\ravo.inf into the system's INF store, so that the
//                              receiver finds its driver when it appears, then creates the
//                              root-enumerated test bus and installs DIR\ravobus.inf on it
#include <windows.h>

#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <string>

namespace {

const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t kBusHardwareIds[] = L"root\\ravobus\0";

int fail(const char* what) {
    std::printf("%s failed, error %lu\n", what, GetLastError());
    return 1;
}

int install(const std::wstring& dir) {
    std::wstring minidriver = dir + L"\\ravo.inf";
    std::wstring bus = dir + L"\\ravobus.inf";
    if (!SetupCopyOEMInfW(minidriver.c_str(), dir.c_str(), SPOST_PATH, 0, nullptr, 0, nullptr,
                          nullptr))
        return fail("SetupCopyOEMInf");
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoW(set, L"ravobus", &kSystemClass, nullptr, nullptr,
                                  DICD_GENERATE_ID, &device))
        return fail("SetupDiCreateDeviceInfo");
    if (!SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE*>(kBusHardwareIds),
                                           sizeof kBusHardwareIds))
        return fail("SetupDiSetDeviceRegistryProperty");
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device))
        return fail("DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, L"root\\ravobus", bus.c_str(),
                                            INSTALLFLAG_FORCE, &reboot))
        return fail("UpdateDriverForPlugAndPlayDevices");
    std::printf("installed\n");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 3 && std::wstring(argv[1]) == L"install")
        return install(argv[2]);
    std::printf("usage: ravo_install install DIR\n");
    return 2;
}
