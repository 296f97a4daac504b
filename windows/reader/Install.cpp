// Installs the drivers of the Windows run in a test prefix, and reads the package's catalog
// with Windows' catalog API.
//
//   ravo_install install PACKAGE TEST   puts PACKAGE\ravo.inf into the system's INF store
//                                       with its catalog, as pnputil /add-driver does, so
//                                       that the receiver finds its driver when it appears;
//                                       then creates the root-enumerated test bus and
//                                       installs TEST\ravobus.inf on it
//   ravo_install catalog FILE           prints the catalog's members as the catalog API
//                                       reads them: "member TAG DIGEST SUBJECT-OID
//                                       SUBJECT-GUID CERT-VERSION", by tag
#include <windows.h>

#include <mscat.h>
#include <newdev.h>
#include <setupapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const GUID kSystemClass = {
    0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const wchar_t kBusHardwareIds[] = L"root\\ravobus\0";

int fail(const char* what) {
    std::printf("%s failed, error %lu\n", what, GetLastError());
    return 1;
}

int install(const std::wstring& package, const std::wstring& test) {
    std::wstring minidriver = package + L"\\ravo.inf";
    std::wstring bus = test + L"\\ravobus.inf";
    wchar_t stored[MAX_PATH];
    if (!SetupCopyOEMInfW(minidriver.c_str(), package.c_str(), SPOST_PATH, 0, stored, MAX_PATH,
                          nullptr, nullptr))
        return fail("SetupCopyOEMInf");
    std::printf("driver package stored as %ls\n", stored);
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

std::string hex(const BYTE* bytes, DWORD length) {
    std::string text;
    char item[3];
    for (DWORD i = 0; i < length; ++i) {
        std::snprintf(item, sizeof item, "%02X", bytes[i]);
        text += item;
    }
    return text;
}

std::string guid(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// Wine's catalog API leaves out the name-value attributes (the file names, OSAttr): what it
// reads is the trust list itself, each member's tag, its subject and its hash.
int catalog(std::wstring path) {
    HANDLE cat = CryptCATOpen(&path[0], CRYPTCAT_OPEN_EXISTING, 0, CRYPTCAT_VERSION_1,
                              X509_ASN_ENCODING | PKCS_7_ASN_ENCODING);
    if (cat == INVALID_HANDLE_VALUE || cat == nullptr)
        return fail("CryptCATOpen");
    std::vector<std::string> lines;
    for (CRYPTCATMEMBER* m = CryptCATEnumerateMember(cat, nullptr); m != nullptr;
         m = CryptCATEnumerateMember(cat, m)) {
        SIP_INDIRECT_DATA* data = m->pIndirectData;
        char line[512];
        std::snprintf(line, sizeof line, "member %ls %s %s %s %lu", m->pwszReferenceTag,
                      data ? hex(data->Digest.pbData, data->Digest.cbData).c_str() : "-",
                      data ? data->Data.pszObjId : "-", guid(m->gSubjectType).c_str(),
                      static_cast<unsigned long>(m->dwCertVersion));
        lines.push_back(line);
    }
    CryptCATClose(cat);
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines)
        std::printf("%s\n", line.c_str());
    return lines.empty() ? 1 : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc == 4 && std::wstring(argv[1]) == L"install")
        return install(argv[2], argv[3]);
    if (argc == 3 && std::wstring(argv[1]) == L"catalog")
        return catalog(argv[2]);

    std::printf("usage: ravo_install install PACKAGE TEST | catalog FILE\n");
    return 2;
}
