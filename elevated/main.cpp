#include "common/ConsoleOutput.h"
#include "common/DllSearch.h"
#include "common/ErrorCodes.h"
#include "elevated/Startup.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything can load a DLL: never from the program's own folder.
    const uint32_t dllSearch = korvel::restrictDllSearchToSystem32(
        {korvel::kShellDlls, korvel::kComDlls, korvel::kNetworkAndTrustDlls});
    if (dllSearch != 0) {
        korvel::writeStderrLine(korvel::dllSearchFailureText(dllSearch));
        return korvel::toInt(korvel::ErrorCode::InternalError);
    }
    return korvel::runEntryPoint([argc, argv] { return korvel::runElevatedHelper(argc, argv); });
}
