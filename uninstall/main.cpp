#include <stdexcept>

#include "common/DllSearch.h"
#include "common/TextConversion.h"
#include "uninstall/Uninstaller.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything can load a DLL: never from the program's own folder.
    const uint32_t dllSearch = korvel::restrictDllSearchToSystem32(
        {korvel::kShellDlls, korvel::kComDlls, korvel::kNetworkAndTrustDlls});
    return korvel::runUninstallerGuarded([argc, argv, dllSearch] {
        if (dllSearch != 0) throw std::runtime_error(korvel::wideToUtf8(korvel::dllSearchFailureText(dllSearch)));
        return korvel::runUninstaller(argc, argv);
    });
}
