#include "common/DllSearch.h"

namespace korvel {

// Apart from the shell's, in a file of its own so that a program that uses
// neither COM nor the network (the launcher) does not carry the names.
const char* const kComDlls[] = {"rpcrt4.dll", "combase.dll", "ole32.dll", "oleaut32.dll", nullptr};

const char* const kNetworkAndTrustDlls[] = {
    "bcrypt.dll",  "crypt32.dll",  "cryptnet.dll", "rsaenh.dll",   "wintrust.dll", "imagehlp.dll",
    "dbghelp.dll", "ws2_32.dll",   "nsi.dll",      "iphlpapi.dll", "dnsapi.dll",   "netapi32.dll",
    "secur32.dll", "schannel.dll", "kerberos.dll", "msv1_0.dll",   "winhttp.dll",  "jsproxy.dll",
    nullptr,
};

}  // namespace korvel
